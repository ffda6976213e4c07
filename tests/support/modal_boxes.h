#pragma once
// Answers the next modal box of an offscreen test: closes it as soon as it
// shows and keeps its title, so a test can check what the user would read.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace talmo::test {

inline void CloseNextBoxNotingTitle(std::vector<std::string>& titles) {
  QTimer::singleShot(0, [&titles] {
    QWidget* box = QApplication::activeModalWidget();
    ASSERT_NE(box, nullptr);
    titles.push_back(box->windowTitle().toStdString());
    box->close();
  });
}

// What a user sees of a box: its title and the width it is shown at.
struct TSeenBox {
  std::string Title;
  int Width = 0;
};

// Closes the next modal box once it has laid itself out, noting it.
inline void CloseNextBoxNoting(std::vector<TSeenBox>& seen) {
  QTimer::singleShot(0, [&seen] {
    QWidget* box = QApplication::activeModalWidget();
    ASSERT_NE(box, nullptr);
    QApplication::processEvents();  // the layout a box does after showing
    seen.push_back({box->windowTitle().toStdString(), box->width()});
    box->close();
  });
}

}  // namespace talmo::test
