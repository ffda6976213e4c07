// The program's message boxes offscreen: the title as the frame shows it,
// and every box at least as wide as that title needs.

#include "widgets/message_box.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <string>
#include <vector>

#include "support/modal_boxes.h"

namespace talmo {
namespace {

// Sets the application's display name for one test and puts it back.
class DisplayName {
 public:
  explicit DisplayName(const QString& name) : FOld(QGuiApplication::applicationDisplayName()) {
    QGuiApplication::setApplicationDisplayName(name);
  }
  ~DisplayName() { QGuiApplication::setApplicationDisplayName(FOld); }

 private:
  QString FOld;
};

const QString kTitle = "TALMO 1.80 (Dec 17, 2018)";

TEST(ShownTitle, DisplayNameFollowsTheTitleOnce) {
  struct Case {
    const char* name;
    bool setName;
    QString title, shown;
  };
  const Case cases[] = {
      {"no display name set", false, "Confirm", "Confirm"},
      {"display name added", true, "Confirm", QString::fromUtf8("Confirm \u2014 ") + kTitle},
      {"title is the display name", true, kTitle, kTitle},
      {"title ends with it", true, "x " + kTitle, "x " + kTitle},
      {"empty title shows the display name", true, "", kTitle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DisplayName name(c.setName ? kTitle : QCoreApplication::applicationName());
    EXPECT_EQ(ShownTitle(c.title).toStdString(), c.shown.toStdString());
  }
}

TEST(TitleFitWidth, GrowsWithTheTitleAndStaysOnTheScreen) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NE(screen, nullptr);
  const int screenWidth = screen->availableGeometry().width();
  QFont bold = QApplication::font("QMdiSubWindowTitleBar");
  bold.setBold(true);
  const QFontMetrics fm(bold);
  int previous = 0;
  for (const QString& title : {QString("A"), kTitle, kTitle + kTitle}) {
    SCOPED_TRACE(title.toStdString());
    const int w = TitleFitWidth(title, screen);
    // The whole title and a frame's icon and buttons besides it.
    EXPECT_GE(w, fm.horizontalAdvance(title) + 100);
    EXPECT_GT(w, previous);
    previous = w;
  }
  EXPECT_EQ(TitleFitWidth(QString(400, 'W'), screen), screenWidth);
  EXPECT_EQ(TitleFitWidth(QString(400, 'W'), nullptr), screenWidth) << "the primary screen";
}

TEST(ShowBox, EveryKindIsWideEnoughForItsTitle) {
  struct Case {
    const char* name;
    QMessageBox::Icon icon;
    QString title, text;
    QMessageBox::StandardButtons buttons;
  };
  const Case cases[] = {
      {"information", QMessageBox::Information, kTitle, "Open fail", QMessageBox::Ok},
      {"error", QMessageBox::Critical, kTitle, "x", QMessageBox::Ok},
      {"question", QMessageBox::Question, "Confirm", "Are You sure?",
       QMessageBox::Yes | QMessageBox::No},
      {"long title", QMessageBox::Information, kTitle + " " + kTitle, "x", QMessageBox::Ok},
  };
  DisplayName name(kTitle);
  QWidget owner;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<test::TSeenBox> seen;
    test::CloseNextBoxNoting(seen);
    ShowBox(&owner, c.icon, c.title, c.text, c.buttons);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Title, c.title.toStdString()) << "the title is kept as given";
    EXPECT_GE(seen[0].Width, TitleFitWidth(c.title, owner.screen()));
    const QFontMetrics fm(QApplication::font());
    EXPECT_GE(seen[0].Width, fm.horizontalAdvance(ShownTitle(c.title)) + 100);
  }
}

TEST(ShowBox, ReturnsTheButtonPressed) {
  QWidget owner;
  for (const auto button : {QMessageBox::Yes, QMessageBox::No}) {
    QTimer::singleShot(0, [button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      box->button(button)->click();
    });
    EXPECT_EQ(ShowBox(&owner, QMessageBox::Question, "Confirm", "Overwrite a.TXT?",
                      QMessageBox::Yes | QMessageBox::No, QMessageBox::No),
              button);
  }
  // Closed by the frame: the box's escape button, No.
  std::vector<test::TSeenBox> seen;
  test::CloseNextBoxNoting(seen);
  EXPECT_EQ(ShowBox(&owner, QMessageBox::Question, "Confirm", "Are You sure?",
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No),
            QMessageBox::No);
}

}  // namespace
}  // namespace talmo
