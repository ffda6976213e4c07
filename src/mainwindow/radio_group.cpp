#include "mainwindow/radio_group.h"

#include <QFontInfo>
#include <QKeyEvent>
#include <QRadioButton>

#include <algorithm>

namespace talmo {

TRadioGroup::TRadioGroup(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {
  // The designed groups are narrow: a small indicator close to its text.
  setStyleSheet(
      "QRadioButton { spacing: 3px; } QRadioButton::indicator { width: 11px; height: 11px; }");
}

void TRadioGroup::SetItems(const QStringList& items) {
  for (QRadioButton* b : FButtons) delete b;
  FButtons.clear();
  FItems = items;
  FIndex = -1;
  for (int i = 0; i < items.size(); ++i) {
    auto* b = new QRadioButton(items[i], this);
    b->setAutoExclusive(false);  // the group keeps the one selection itself
    // A click on the selected item keeps it selected and changes nothing.
    connect(b, &QRadioButton::clicked, this, [this, i] { Select(i); });
    b->installEventFilter(this);
    b->show();
    FButtons.push_back(b);
  }
  PlaceButtons();
  UpdateStop();
}

void TRadioGroup::SetItemIndex(int index) {
  if (FItems.isEmpty() || index < 0)
    index = -1;
  else if (index >= FItems.size())
    index = static_cast<int>(FItems.size()) - 1;
  Select(index);
}

void TRadioGroup::Select(int index) {
  for (std::size_t i = 0; i < FButtons.size(); ++i)
    FButtons[i]->setChecked(static_cast<int>(i) == index);
  if (index == FIndex) return;
  FIndex = index;
  UpdateStop();
  if (OnClick) OnClick();
}

void TRadioGroup::UpdateStop() {
  // One tab stop per group: the selected item (the first while none is).
  // The others take the focus only by a click or an arrow key.
  const std::size_t stop = FIndex > 0 ? static_cast<std::size_t>(FIndex) : 0;
  bool focused = false;
  for (std::size_t i = 0; i < FButtons.size(); ++i) {
    focused = focused || FButtons[i]->hasFocus();
    FButtons[i]->setFocusPolicy(i == stop ? Qt::StrongFocus : Qt::ClickFocus);
  }
  setFocusProxy(FButtons.empty() ? nullptr : FButtons[stop]);
  if (focused && !FButtons.empty()) FButtons[stop]->setFocus(Qt::OtherFocusReason);
  if (OnStopChanged) OnStopChanged();
}

bool TRadioGroup::eventFilter(QObject* watched, QEvent* e) {
  // Arrows move the selection within the group, as in the Windows groups.
  if (e->type() != QEvent::KeyPress) return QGroupBox::eventFilter(watched, e);
  const int key = static_cast<QKeyEvent*>(e)->key();
  const int step = key == Qt::Key_Up || key == Qt::Key_Left      ? -1
                   : key == Qt::Key_Down || key == Qt::Key_Right ? 1
                                                                 : 0;
  if (step == 0) return QGroupBox::eventFilter(watched, e);
  const auto at = std::find(FButtons.begin(), FButtons.end(), watched);
  if (at == FButtons.end()) return false;
  const int next = static_cast<int>(at - FButtons.begin()) + step;
  if (next >= 0 && next < Count()) {
    Select(next);
    FButtons[static_cast<std::size_t>(next)]->setFocus(Qt::TabFocusReason);
  }
  return true;
}

void TRadioGroup::SetItemToolTip(int index, const QString& tip) {
  if (index >= 0 && index < static_cast<int>(FButtons.size()))
    FButtons[static_cast<std::size_t>(index)]->setToolTip(tip);
}

void TRadioGroup::resizeEvent(QResizeEvent* e) {
  QGroupBox::resizeEvent(e);
  PlaceButtons();
}

void TRadioGroup::PlaceButtons() {
  if (FButtons.empty()) return;
  // Items share the height below the caption evenly, one column.
  const int top = 16;
  const int usable = std::max(1, height() - top - 4);
  const int step = std::max(14, usable / static_cast<int>(FButtons.size()));
  // A caption wider than the group ("115200" in a narrow one) first takes
  // the left margin, then a smaller font, so that it reads whole.
  const auto widest = [this] {
    int w = 0;
    for (QRadioButton* b : FButtons) w = std::max(w, b->sizeHint().width());
    return w;
  };
  const int left = std::clamp(5 - (widest() - (width() - 7)), 2, 5);
  const int room = std::max(10, width() - left - 2);
  QFont f = font();
  while (widest() > room && f.pixelSize() > 7) {
    f.setPixelSize((f.pixelSize() > 0 ? f.pixelSize() : QFontInfo(f).pixelSize()) - 1);
    for (QRadioButton* b : FButtons) b->setFont(f);
  }
  for (std::size_t i = 0; i < FButtons.size(); ++i)
    FButtons[i]->setGeometry(left, top + static_cast<int>(i) * step, room, std::min(step, 18));
}

}  // namespace talmo
