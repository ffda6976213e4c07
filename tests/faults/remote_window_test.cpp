// The main window on a remote port, offscreen: a SERIALCOMM entry
// "rfc2217://127.0.0.1:PORT"="COM20" in the settings file lists the port
// with a tool tip that says it is remote; Open Port opens it through
// ser2net, frames arrive, typed bytes reach the served device, and a server
// stopped under the open port is one loss line, then Close works.

#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/device_driver.h"
#include "fault_kit.h"
#include "mainwindow/main_window.h"
#include "mainwindow/radio_group.h"
#include "ports/port_list.h"
#include "settings/registry.h"
#include "support/ser2net_kit.h"
#include "support/settings_file.h"
#include "window_kit.h"

namespace talmo {
namespace {

using faults::RunLoop;

bool LoopUntil(const std::function<bool()>& done, int ms = 5000) {
  for (int waited = 0; !done(); waited += 20) {
    if (waited > ms) return false;
    RunLoop(0.02);
  }
  return true;
}

TEST(RemoteWindow, ListsOpensCarriesBothWaysAndReportsTheLossOnce) {
  if (test::FindSer2net().empty()) GTEST_SKIP() << test::kNoSer2net;
  faults::TScratchDir scratch;
  test::TSer2net server;
  std::string why;
  ASSERT_TRUE(server.Start(why)) << why;

  const std::string settings = scratch.Path + "/TALMO.reg";
  std::ofstream(settings) << test::PortListed(server.Url(), "COM20");
  auto store = TRegistryStore::ForFile(settings);
  // No sysfs: only the user's entry is listed.
  const TPortSources none{scratch.Path + "/sys", scratch.Path + "/sys/console", "/dev"};
  auto dialogs = std::make_shared<faults::QuietDialogs>();
  TMainEnvironment env;
  env.SettingsPath = settings;
  env.Dialogs = dialogs;
  env.Delay = [](int) {};
  env.Driver =
      std::make_shared<TSerDeviceDriver>(TPortList::DeviceResolver(store, none, std::nullopt));
  env.PortList = [store, none] { return TPortList::Build(store, none, std::nullopt).Entries(); };
  auto window = std::make_unique<TfoMain>(env);
  TfoMain& w = *window;
  w.show();
  ASSERT_TRUE(LoopUntil([&] { return w.Activated(); }));

  const int index = static_cast<int>(w.raPort->Items().indexOf("COM20"));
  ASSERT_GE(index, 0) << w.raPort->Items().join(",").toStdString();
  QString tip;
  for (QRadioButton* b : w.raPort->findChildren<QRadioButton*>())
    if (b->text() == "COM20") tip = b->toolTip();
  EXPECT_TRUE(tip.contains(QString::fromStdString(server.Url()))) << tip.toStdString();
  EXPECT_TRUE(tip.contains("Remote port")) << tip.toStdString();

  w.cbConvert->setChecked(true);
  w.meFirst->setText("02");
  w.meLast->setText("03");
  w.FirstLast();
  w.raPort->SetItemIndex(index);
  w.buOpen->click();
  ASSERT_TRUE(w.Comm1().Active()) << ::testing::PrintToString(dialogs->errors);
  const auto paneHas = [&](const std::string& line) {
    for (const std::string& l : w.PaneLines())
      if (l == line) return true;
    return false;
  };
  EXPECT_TRUE(paneHas("// COM20 is open"));
  server.Send(
      "\x02"
      "R\xFF\x03");
  EXPECT_TRUE(LoopUntil([&] { return paneHas(" STX R $FF ETX"); }))
      << ::testing::PrintToString(w.PaneLines());
  w.ResetTypedLine();
  for (char c : std::string("ok")) w.meDataKeyPress(static_cast<std::uint8_t>(c));
  w.buTransmit->click();
  std::string far;
  EXPECT_TRUE(LoopUntil([&] {
    far += server.Receive(1, 10);
    return far == "ok";
  })) << far;

  server.Stop();
  const auto goneLines = [&] {
    int n = 0;
    for (const std::string& l : w.PaneLines())
      n += l.find("no longer available") != std::string::npos;
    return n;
  };
  ASSERT_TRUE(LoopUntil([&] { return goneLines() > 0; }))
      << ::testing::PrintToString(w.PaneLines());
  RunLoop(1.0);
  EXPECT_EQ(goneLines(), 1) << ::testing::PrintToString(w.PaneLines());
  w.buClose->click();
  EXPECT_FALSE(w.Comm1().Active());
  EXPECT_TRUE(dialogs->errors.empty()) << ::testing::PrintToString(dialogs->errors);
  window.reset();
}

}  // namespace
}  // namespace talmo
