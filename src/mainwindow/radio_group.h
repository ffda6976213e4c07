#pragma once
// A captioned group of radio items with one selected index, as the window's
// five selectors need it: setting the index clamps it to the items and runs
// the click handler when the selection changes, exactly as a user's click.

#include <QGroupBox>
#include <QStringList>

#include <functional>
#include <vector>

class QRadioButton;

namespace talmo {

class TRadioGroup : public QGroupBox {
 public:
  TRadioGroup(const QString& caption, QWidget* parent);

  void SetItems(const QStringList& items);
  QStringList Items() const { return FItems; }
  int Count() const { return static_cast<int>(FItems.size()); }
  // -1 when nothing is selected.
  int ItemIndex() const { return FIndex; }
  // Past the last item selects the last; below 0 (or no items) selects none.
  void SetItemIndex(int index);
  QString SelectedText() const { return FIndex >= 0 ? FItems[FIndex] : QString(); }
  // Per-item tool tips (the port list's device descriptions).
  void SetItemToolTip(int index, const QString& tip);

  std::function<void()> OnClick;
  // The group's tab stop moved to another item (its focus proxy changed):
  // a tab order that names the group must be set again.
  std::function<void()> OnStopChanged;

 protected:
  void resizeEvent(QResizeEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void Select(int index);
  void PlaceButtons();
  void UpdateStop();

  QStringList FItems;
  std::vector<QRadioButton*> FButtons;
  int FIndex = -1;
};

}  // namespace talmo
