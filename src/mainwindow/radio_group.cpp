#include "mainwindow/radio_group.h"

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
    b->show();
    FButtons.push_back(b);
  }
  PlaceButtons();
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
  if (OnClick) OnClick();
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
  for (std::size_t i = 0; i < FButtons.size(); ++i)
    FButtons[i]->setGeometry(5, top + static_cast<int>(i) * step, std::max(10, width() - 7),
                             std::min(step, 18));
}

}  // namespace talmo
