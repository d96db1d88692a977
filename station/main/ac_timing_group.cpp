// TForm1's AC Timing group: its controls, and the timing set a job is
// started with, from the NAND timing table (select mode: the vendor and type
// picked from the lists) or from the four edit fields (custom mode).
#include <QCollator>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSet>
#include <QSignalBlocker>
#include <QStyledItemDelegate>

#include <algorithm>
#include <string>

#include "config/strict_integer.hpp"
#include "main/form1.hpp"

namespace {

// The list of a combo box shows its items 13 pixels high.
class ListItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(13);
    return size;
  }
};

QComboBox* MakeComboBox(QWidget* parent, const char* name, const QRect& geometry) {
  auto* box = new QComboBox(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setEditable(true);
  box->setInsertPolicy(QComboBox::NoInsert);  // typed text never becomes an item
  box->setItemDelegate(new ListItemDelegate(box));
  box->setGeometry(geometry);
  return box;
}

}  // namespace

void TForm1::BuildAcTimingGroup() {
  GroupBox2 = new QGroupBox(QStringLiteral("AC Timing"), TabSheet4);
  GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
  GroupBox2->setGeometry(64, 8, 633, 97);
  GroupBox2->setStyle(groupBoxStyle_);

  SelectRBtn = new QRadioButton(GroupBox2);
  SelectRBtn->setObjectName(QStringLiteral("SelectRBtn"));
  SelectRBtn->setGeometry(16, 32, 25, 17);

  VendorComBox = MakeComboBox(GroupBox2, "VendorComBox", QRect(48, 32, 105, 21));
  TypeComBox = MakeComboBox(GroupBox2, "TypeComBox", QRect(168, 32, 145, 21));

  CustomRBtn = new QRadioButton(GroupBox2);
  CustomRBtn->setObjectName(QStringLiteral("CustomRBtn"));
  CustomRBtn->setGeometry(16, 72, 25, 17);
  CustomRBtn->setChecked(true);

  const station::TimingSet designValues;  // the defaults
  for (int i = 0; i < 4; ++i) {
    auto* edit =
        new QLineEdit(QString::number(designValues.*station::kTimingFields[static_cast<std::size_t>(i)]), GroupBox2);
    edit->setObjectName(QStringLiteral("TimingEdit%1").arg(i + 1));
    edit->setMaxLength(3);
    edit->setGeometry(48 + 48 * i, 68, 41, 21);
    edit->installEventFilter(this);
    TimingEdit[static_cast<std::size_t>(i)] = edit;
  }

  // A change of a combo box is what the operator does to it: picking an item
  // from its list (mouse or arrow keys; `activated` comes even when the same
  // item is picked again) or editing its text (`textEdited`, typed text only).
  // Changes made by the program raise neither.
  connect(VendorComBox, &QComboBox::activated, this, [this](int) { HandleEvent([this] { VendorComBoxChange(); }); });
  connect(VendorComBox->lineEdit(), &QLineEdit::textEdited, this,
          [this](const QString&) { HandleEvent([this] { VendorComBoxChange(); }); });
  connect(TypeComBox, &QComboBox::activated, this, [this](int) { HandleEvent([this] { TypeComBoxChange(); }); });
  connect(TypeComBox->lineEdit(), &QLineEdit::textEdited, this,
          [this](const QString&) { HandleEvent([this] { TypeComBoxChange(); }); });

  QWidget::setTabOrder(SelectRBtn, CustomRBtn);
  QWidget::setTabOrder(CustomRBtn, TimingEdit[0]);
  QWidget::setTabOrder(TimingEdit[0], TimingEdit[1]);
  QWidget::setTabOrder(TimingEdit[1], TimingEdit[2]);
  QWidget::setTabOrder(TimingEdit[2], TimingEdit[3]);
  QWidget::setTabOrder(TimingEdit[3], VendorComBox);
  QWidget::setTabOrder(VendorComBox, TypeComBox);
}

void TForm1::SetSelectMode(bool selectMode) {
  // The radio buttons exclude each other: checking one unchecks the other.
  if (selectMode) {
    SelectRBtn->setChecked(true);
    CustomRBtn->setChecked(false);
  } else {
    CustomRBtn->setChecked(true);
    SelectRBtn->setChecked(false);
  }
}

void TForm1::FillVendorList() {
  const QSignalBlocker blocker(VendorComBox);
  VendorComBox->clear();
  VendorComBox->clearEditText();
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  QStringList sorted;    // the items, as the list holds them
  QSet<QString> folded;  // the items, case-folded
  for (const station::NAND_ENTRY& row : NandTimingTable) {
    const QString vendor = UiText(row.Vendor);
    // The list's exact-text search (findText with Qt::MatchFixedString: the
    // whole text, letter case ignored), kept in a set so that a long table
    // loads in time.
    const QString key = vendor.toCaseFolded();
    if (!folded.contains(key)) {
      folded.insert(key);
      // A sorted list in the locale's alphabetical order, letter case
      // ignored: the new item goes before the first item that sorts after it.
      const auto at =
          std::upper_bound(sorted.begin(), sorted.end(), vendor,
                           [&collator](const QString& a, const QString& b) { return collator.compare(a, b) < 0; });
      const auto index = static_cast<int>(at - sorted.begin());
      sorted.insert(at, vendor);
      VendorComBox->insertItem(index, vendor, QByteArray(row.Vendor.data(), static_cast<qsizetype>(row.Vendor.size())));
    }
  }
  if (VendorComBox->count() > 0) {
    VendorComBox->setCurrentIndex(0);
    VendorComBoxChange();
  }
}

namespace {

// The bytes an item stands for (the table's own text, not its display form).
std::string ItemBytes(const QComboBox* box) {
  const int index = box->currentIndex();
  if (index < 0) return {};
  const QByteArray bytes = box->itemData(index).toByteArray();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

void TForm1::VendorComBoxChange() {
  {
    const QSignalBlocker blocker(TypeComBox);
    TypeComBox->clear();
    TypeComBox->clearEditText();
    const std::string vendor = ItemBytes(VendorComBox);  // the selected item; never the edit text
    for (const station::NAND_ENTRY& row : NandTimingTable) {
      if (row.Vendor == vendor) {
        TypeComBox->addItem(UiText(row.Type), QByteArray(row.Type.data(), static_cast<qsizetype>(row.Type.size())));
      }
    }
    if (TypeComBox->count() > 0) TypeComBox->setCurrentIndex(0);
  }
  SetSelectMode(true);
}

void TForm1::TypeComBoxChange() { SetSelectMode(true); }

void TForm1::TimingEditClick(int /*field*/) { SetSelectMode(false); }

station::TimingSet TForm1::CurrentTimingSet() {
  station::TimingSet timing;  // the defaults
  if (!SelectRBtn->isChecked()) {
    for (std::size_t k = 0; k < 4; ++k) {
      const QByteArray text = TimingEdit[k]->text().toLocal8Bit();
      timing.*station::kTimingFields[k] =
          station::StrToInt(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    }
    return timing;
  }
  return station::LookupTiming(NandTimingTable, ItemBytes(VendorComBox), ItemBytes(TypeComBox));
}
