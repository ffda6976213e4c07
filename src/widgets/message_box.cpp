#include "widgets/message_box.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>

#include <algorithm>

namespace talmo {
namespace {

// Room for the frame's icon, its close, maximise and minimise buttons and
// the margins between them, in pixels.
constexpr int kFrameChrome = 160;
// A window manager's title font is often a size or two above the
// application's: the measured title is taken a quarter wider.
constexpr int kTitleSlackNum = 5;
constexpr int kTitleSlackDen = 4;

// QMessageBox sets its own fixed size whenever it lays itself out (on
// showing, on a font or style change); this box widens itself after each.
class TTitledBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  bool event(QEvent* e) override {
    const bool done = QMessageBox::event(e);
    switch (e->type()) {
      case QEvent::Show:
      case QEvent::LayoutRequest:
      case QEvent::FontChange:
      case QEvent::StyleChange:
      case QEvent::WindowTitleChange: Widen(); break;
      default: break;
    }
    return done;
  }

 private:
  void Widen() {
    if (!isVisible()) return;
    const int need = TitleFitWidth(windowTitle(), screen());
    if (width() >= need) return;
    QLayout* l = layout();
    int h = height();
    if (l && l->hasHeightForWidth()) h = std::max(h, l->totalHeightForWidth(need));
    setFixedSize(need, h);
  }
};

}  // namespace

QString ShownTitle(const QString& title) {
  // Qt reads an unset display name as the application name, and only a
  // display name that was set is added to titles.
  const QString app = QGuiApplication::applicationDisplayName();
  const bool set = app != QCoreApplication::applicationName();
  if (set && !app.isEmpty() && !title.endsWith(app))
    return title.isEmpty() ? app : title + QString::fromUtf8(" \u2014 ") + app;
  return title.isEmpty() ? QCoreApplication::applicationName() : title;
}

int TitleFitWidth(const QString& title, const QScreen* screen) {
  QFont font = QApplication::font("QMdiSubWindowTitleBar");
  font.setBold(true);
  const int text = QFontMetrics(font).horizontalAdvance(ShownTitle(title));
  const int need = text * kTitleSlackNum / kTitleSlackDen + kFrameChrome;
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return need;
  return std::min(need, screen->availableGeometry().width());
}

QMessageBox::StandardButton ShowBox(QWidget* owner, QMessageBox::Icon icon, const QString& title,
                                    const QString& text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton) {
  TTitledBox box(icon, title, text, buttons, owner);
  if (defaultButton != QMessageBox::NoButton) box.setDefaultButton(defaultButton);
  if (box.exec() == -1) return QMessageBox::Cancel;
  return box.standardButton(box.clickedButton());
}

}  // namespace talmo
