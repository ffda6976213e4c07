// The window's settings: loading them at creation, storing the bounds at the
// end, and the linked-connections policy value.

#include <QCheckBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>

#include <algorithm>

#include "base/error_text.h"
#include "engine/convert.h"
#include "mainwindow/main_window.h"
#include "mainwindow/qt_sync.h"
#include "mainwindow/radio_group.h"
#include "settings/registry.h"

namespace talmo {
namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Velkerstam\\TALMO";
constexpr const char* kPolicyKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

QString Hex2(std::uint8_t v) {
  char d[2];
  PutHex2(d, v);
  return QString::fromLatin1(d, 2);
}

std::vector<TBounds> AvailableScreenAreas() {
  std::vector<TBounds> areas;
  for (const QScreen* s : QGuiApplication::screens()) {
    const QRect a = s->availableGeometry();
    areas.push_back({a.x(), a.y(), a.width(), a.height()});
  }
  return areas;
}

}  // namespace

void TfoMain::LoadParms() {
  // A value of the wrong type or a write the store refuses must not leave
  // creation unfinished: each such value takes its default, and the user is
  // told once, at the end, what was wrong.
  std::vector<std::string> problems;
  auto attempt = [&problems](const std::function<void()>& step) {
    try {
      step();
    } catch (...) {
      problems.push_back(ExceptionMessage(std::current_exception()));
    }
  };
  FCollectErrors = &problems;

  FParmKey = std::make_unique<TRegistry>(
      TRegistryStore::ForFile(FEnv.SettingsPath.empty() ? SettingsFilePath() : FEnv.SettingsPath));
  std::optional<std::string> warning = FParmKey->TakeStoreWarning();
  // A file that cannot be written is told once, with its reason; the
  // settings are still used while the window runs.
  auto unsaved = std::make_shared<std::string>();
  FParmKey->OnWriteRefused([this, unsaved](const std::string& report) {
    if (FCollectErrors)
      *unsaved = report;
    else
      ShowError(report);
  });
  attempt([&] { FParmKey->OpenKey(kSettingsKey, true); });

  TRegistry& k = *FParmKey;
  FBounds = kDefaultBounds;
  attempt([&] {
    std::array<std::uint8_t, 16> raw{};
    const int got = k.ReadBinaryData("COORDS", raw.data(), 16);
    for (int i = 0; i < got / 4; ++i)
      FBounds[static_cast<std::size_t>(i)] =
          static_cast<std::int32_t>(raw[4 * i] | raw[4 * i + 1] << 8 | raw[4 * i + 2] << 16 |
                                    static_cast<std::uint32_t>(raw[4 * i + 3]) << 24);
  });
  RestoreBounds();

  attempt([&] {
    std::int32_t port = 0;
    if (k.ValueExists("REGXCOM"))
      port = k.ReadInteger("REGXCOM");
    else
      k.WriteInteger("REGXCOM", 0);
    if (port >= 0) raPort->SetItemIndex(port);
  });
  ReadIndex("REGBAUD", rgBaud, problems);
  ReadIndex("REGDATABITS", rgDatabits, problems);
  ReadIndex("REGPARITY", rgParity, problems);
  ReadIndex("REGSTOP", rgStop, problems);

  attempt([&] {
    if (!k.ValueExists("REGPROTOCOL")) {
      TProtocolFlags& f = FProtocolFlags;
      f.First = f.Last = f.Bcc = f.Time = f.Hex = 0;
      const TProtocolFlags::TBytes bytes = f.Pack();
      k.WriteBinaryData("REGPROTOCOL", bytes.data(), TProtocolFlags::kSize);
    }
  });
  attempt([&] {
    if (k.ValueExists("DIRECT")) cbDirect->setChecked(k.ReadBool("DIRECT"));
  });
  // The bench strip's choices; stored only once the user made one.
  attempt([&] { LoadStrip(k); });
  attempt([&] {
    TProtocolFlags::TBytes stored{};
    k.ReadBinaryData("REGPROTOCOL", stored.data(), TProtocolFlags::kSize);
    FProtocolFlags = TProtocolFlags::Unpack(stored);
  });

  auto& f = FProtocolFlags;
  if (f.STXHL == 1) {
    f.Bcc = 1;
    f.First = 0x02;
    f.Last = 0x03;
  }
  meFirst->setText(Hex2(f.First));
  meLast->setText(Hex2(f.Last));
  cbSTXHL->setChecked(false);
  cbPROD2->setChecked(false);
  cbManch->setChecked(false);
  // Ticking a protocol box runs its preset and FirstLast, which re-reads the
  // record from the boxes; the later steps read the record as it is then.
  cbSTXHL->setChecked(f.STXHL != 0);
  cbConvert->setChecked(f.Convert != 0);
  cbPROD2->setChecked(f.PROD2 != 0);
  cbManch->setChecked(f.Manch != 0);
  if (f.PROD2 == 1) f.Time = 1;
  cbBcc->setChecked(f.Bcc != 0);
  cbTime->setChecked(f.Time != 0);
  cbHEX->setChecked(f.Hex != 0);
  cbSTXHL->setChecked(f.STXHL != 0);
  cbPROD2->setChecked(f.PROD2 != 0);
  cbManch->setChecked(f.Manch != 0);
  cbConvert->setChecked(f.Convert != 0);
  // After the protocol boxes: a Modbus view unticks STX_HL and PROD2.
  attempt([&] { LoadSilence(k); });
  attempt([&] { LoadModbus(k); });

  FCollectErrors = nullptr;
  if (warning || !problems.empty() || !unsaved->empty()) {
    std::string text;
    if (warning) text += *warning + "\n";
    if (!problems.empty()) {
      text += "These settings could not be used and take their defaults:";
      for (const std::string& p : problems) text += "\n" + p;
      text += "\nSettings file: " + FParmKey->Store()->Path() + "\n";
    }
    text += *unsaved;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    FDialogs->Message(text);
  }
}

void TfoMain::ReadIndex(const char* name, TRadioGroup* group, std::vector<std::string>& problems) {
  std::int32_t index = 0;
  try {
    if (!FParmKey->ValueExists(name)) FParmKey->WriteInteger(name, 0);
    index = FParmKey->ReadInteger(name);
  } catch (...) {
    problems.push_back(ExceptionMessage(std::current_exception()));
    index = 0;
  }
  group->SetItemIndex(index < 0 ? 0 : index);
}

void TfoMain::RestoreBounds() {
  // The file may hold anything: bounds that no screen shows any more (a
  // monitor that was unplugged) would put the window out of reach, and a
  // size beyond the screen would make a window of gigabytes.
  const std::vector<TBounds> screens = AvailableScreenAreas();
  // No size below the one at which every control is whole; the first
  // start's size is raised to it too.
  const TClientSize least = MinimumClientSize();
  const TBounds defaults{kDefaultBounds[0], kDefaultBounds[1],
                         std::max(kDefaultBounds[2], least.Width),
                         std::max(kDefaultBounds[3], least.Height)};
  // A size that is no size at all stays one, and the defaults take over.
  const auto raised = [](std::int32_t v, int to) { return v > 0 ? std::max(v, to) : v; };
  std::optional<TBounds> fit = FitStoredBounds(
      {FBounds[0], FBounds[1], raised(FBounds[2], least.Width), raised(FBounds[3], least.Height)},
      screens);
  if (!fit) fit = FitStoredBounds(defaults, screens);
  const TBounds b = fit.value_or(defaults);
  FBounds = {b.Left, b.Top, b.Width, b.Height};
  move(b.Left, b.Top);
  resize(b.Width, b.Height);
}

void TfoMain::SaveParms() {
  if (!FParmKey) return;
  const std::int32_t bounds[4] = {x(), y(), width(), height()};
  std::uint8_t raw[16];
  for (int i = 0; i < 4; ++i)
    for (int b = 0; b < 4; ++b)
      raw[4 * i + b] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(bounds[i]) >> (8 * b));
  std::unique_ptr<TRegistry> key = std::move(FParmKey);
  key->WriteBinaryData("COORDS", raw, 16);
  key->CloseKey();
}

// On Linux the policy key is never there (nothing here creates it), so this
// returns false and the restart notice of FormCreate never shows; kept for
// a settings file that does carry the key.
bool TfoMain::SetLinkedConnections() {
  TRegistry key(FParmKey ? FParmKey->Store() : TRegistryStore::ForFile(SettingsFilePath()));
  if (!key.OpenKey(kPolicyKey, false)) return false;
  bool wrote = false;
  if (!(key.ValueExists("EnableLinkedConnections") &&
        key.ReadInteger("EnableLinkedConnections") != 0)) {
    key.WriteInteger("EnableLinkedConnections", 1);
    wrote = true;
  }
  key.CloseKey();
  return wrote;
}

}  // namespace talmo
