#pragma once
// The program's message boxes. Qt sizes a box by its text and only roughly
// by its title, so a window manager cuts a long title ("TALMO … , 2018)");
// every box of the program is shown through ShowBox, which makes it wide
// enough for the whole title.

#include <QMessageBox>
#include <QString>

class QScreen;

namespace talmo {

// The title as the platform shows it in the frame: the application's
// display name, when one was set, follows the window's own title unless
// that already ends with it; an empty title shows the application name.
QString ShownTitle(const QString& title);

// The width a top-level window needs for the frame to show `title` whole:
// the shown title in a bold title-bar font with room for a larger font, and
// the frame's icon, buttons and margins; never wider than the screen's
// available width (`screen` null: the primary screen).
int TitleFitWidth(const QString& title, const QScreen* screen);

// A box with `icon`, `title`, `text` and `buttons` (the default one
// `defaultButton`), owned by `owner`, shown modally at least TitleFitWidth
// wide; returns the button pressed.
QMessageBox::StandardButton ShowBox(
    QWidget* owner, QMessageBox::Icon icon, const QString& title, const QString& text,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

}  // namespace talmo
