// TForm1: the window's controls, its start-up, the Cancel handlers, the run
// counters and the rows its jobs write into. The AC Timing group lives in
// ac_timing_group.cpp, device arrival and removal in device_arrival.cpp.
#include "main/form1.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTabWidget>

#include <algorithm>

TForm1* Form1 = nullptr;

QColor WindowTextColour() { return QApplication::palette().color(QPalette::WindowText); }

void SetTextColour(QLabel* label, const QColor& colour) {
  if (label == nullptr) return;
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

// The texts are 8-bit strings; the window shows them as the local 8-bit
// encoding decodes them (bytes that do not decode show as replacement
// characters).
QString UiText(std::string_view bytes) {
  return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

namespace {

constexpr int kClientWidth = 772;
constexpr int kClientHeight = 528;
constexpr int kRowTop = 128;
constexpr int kRowPitch = 40;
constexpr int kInfoLeft = 152;
constexpr int kBarLeft = 288;
constexpr int kCounterDesignWidth = 14;
constexpr int kCounterMaxWidth = 140;  // ten digits and a sign

// "MS Sans Serif" where the system has it, else the closest sans-serif face
// at hand (narrow faces first: the layout was made for a narrow font); always
// at the given pixel height.
QString WindowFontFamily() {
  static const QString family = [] {
    for (const char* name : {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial", "Arimo",
                             "DejaVu Sans Condensed", "DejaVu Sans"}) {
      if (QFontDatabase::hasFamily(QString::fromLatin1(name))) return QString::fromLatin1(name);
    }
    return QString();
  }();
  return family;
}

QFont StationFont(int pixelSize, bool bold) {
  QFont font;
  const QString family = WindowFontFamily();
  if (!family.isEmpty()) font.setFamily(family);
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

QLabel* MakeStaticText(QWidget* parent, const QString& name, const QString& text, const QRect& geometry,
                       const QColor* colour) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setTextFormat(Qt::PlainText);  // texts from lang.ini are never markup
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setMargin(0);
  label->setFont(StationFont(16, true));
  label->setGeometry(geometry);
  if (colour != nullptr) SetTextColour(label, *colour);
  return label;
}

// Narrows a static text's font (down to 60 % of its width) until its visible
// text fits `width`, rather than cutting the text or running into the next
// control; the natural font when it fits already.
void NarrowToFit(QLabel* label, int width) {
  QString text = label->text();
  while (!text.isEmpty() && text.back().isSpace()) text.chop(1);  // a trailing blank shows nothing
  const auto textWidth = [&text](const QFont& f) { return QFontMetrics(f).horizontalAdvance(text); };
  QFont font = label->font();
  font.setStretch(QFont::AnyStretch);
  if (textWidth(font) > width) {
    for (int stretch = 100; stretch >= 60; --stretch) {
      font.setStretch(stretch);
      if (textWidth(font) <= width) break;
    }
  }
  if (font != label->font()) label->setFont(font);
}

// A static text of fixed width.
void FitFixedText(QLabel* label) {
  if (label != nullptr) NarrowToFit(label, label->width());
}

// A static text that sizes itself to its text: never narrower than minWidth,
// its font narrowed when the text is wider than maxWidth; its height stays.
void FitLabel(QLabel* label, int minWidth, int maxWidth) {
  if (label == nullptr) return;
  NarrowToFit(label, maxWidth);
  const int width = std::max(minWidth, label->sizeHint().width());
  if (width != label->width()) label->resize(width, label->height());
}

}  // namespace

TForm1::TForm1(QWidget* owner, station::WindowServices services)
    : QWidget(owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      services_(std::move(services)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Blank Checking Utility"));
  setFont(StationFont(11, false));
  setFixedSize(kClientWidth, kClientHeight);

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  PageControl1->setGeometry(0, 0, kClientWidth, kClientHeight);
  TabSheet4 = new QWidget;
  TabSheet4->setObjectName(QStringLiteral("TabSheet4"));
  PageControl1->addTab(TabSheet4, QStringLiteral("Blank Checking"));

  // The group boxes draw their frame through the middle of the caption, so
  // that the contents' design positions sit inside the frame. The style is a
  // later child than PageControl1 and so outlives the group boxes.
  groupBoxStyle_ = QStyleFactory::create(QStringLiteral("Windows"));
  if (groupBoxStyle_ != nullptr) groupBoxStyle_->setParent(this);

  BuildAcTimingGroup();
  BuildRows();
  BuildLogGroup();
  TabSheet4->installEventFilter(this);
  GroupBox16->installEventFilter(this);

  // The state, as the window starts.
  NandTimingTable.clear();
  TotalCount = SuccessCount = FailCount = ActiveCount = 0;
  for (auto& flag : CancelRequest) flag.store(0);

  Form1 = this;
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::BuildRows() {
  for (int n = 0; n < 8; ++n) {
    const auto i = static_cast<std::size_t>(n);
    const int top = kRowTop + kRowPitch * n;
    const int labelNumber = n == 0 ? 1 : n + 2;  // StaticText1, StaticText3 ... StaticText9
    RowLabel[i] = MakeStaticText(TabSheet4, QStringLiteral("StaticText%1").arg(labelNumber),
                                 QStringLiteral("Device %1:").arg(n + 1), QRect(64, top, 78, 24), nullptr);
    DinfoStr[i] = MakeStaticText(TabSheet4, QStringLiteral("D%1infoStr").arg(n + 1), QStringLiteral("Wait..."),
                                 QRect(kInfoLeft, top, 55, 24), nullptr);

    auto* bar = new QProgressBar(TabSheet4);
    bar->setObjectName(QStringLiteral("ProgressBar%1").arg(n + 1));
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setGeometry(kBarLeft, top, 329, 24);
    bar->hide();
    ProgressBar[i] = bar;

    auto* button = new QPushButton(QStringLiteral("Cancel"), TabSheet4);
    button->setObjectName(QStringLiteral("CancelBtn%1").arg(n + 1));
    button->setGeometry(632, top, 65, 25);
    button->hide();
    connect(button, &QPushButton::clicked, this, [this, n] { HandleEvent([this, n] { CancelBtnClick(n); }); });
    CancelBtn[i] = button;
  }
}

void TForm1::BuildLogGroup() {
  GroupBox16 = new QGroupBox(QStringLiteral("Log"), TabSheet4);
  GroupBox16->setObjectName(QStringLiteral("GroupBox16"));
  GroupBox16->setGeometry(40, 448, 673, 49);
  GroupBox16->setStyle(groupBoxStyle_);
  StaticText10 = MakeStaticText(GroupBox16, QStringLiteral("StaticText10"), QStringLiteral("Total:"),
                                QRect(32, 16, 49, 24), nullptr);
  TotalStr = MakeStaticText(GroupBox16, QStringLiteral("TotalStr"), QStringLiteral("0"),
                            QRect(88, 16, kCounterDesignWidth, 24), nullptr);
  StaticText11 = MakeStaticText(GroupBox16, QStringLiteral("StaticText11"), QStringLiteral("Success:"),
                                QRect(256, 16, 77, 24), &kBlue);
  SuccessStr = MakeStaticText(GroupBox16, QStringLiteral("SuccessStr"), QStringLiteral("0"),
                              QRect(336, 16, kCounterDesignWidth, 24), &kBlue);
  StaticText13 = MakeStaticText(GroupBox16, QStringLiteral("StaticText13"), QStringLiteral("Fail:"),
                                QRect(536, 16, 38, 24), &kRed);
  FailStr = MakeStaticText(GroupBox16, QStringLiteral("FailStr"), QStringLiteral("0"),
                           QRect(584, 16, kCounterDesignWidth, 24), &kRed);
}

void TForm1::FitTexts() {
  // An info text reaches at most up to its row's progress bar.
  for (QLabel* info : DinfoStr) FitLabel(info, 0, kBarLeft - kInfoLeft);
  // A counter value keeps its design width but grows with its number, so
  // that 10 and more are not cut to the first digit.
  for (QLabel* counter : {TotalStr, SuccessStr, FailStr}) FitLabel(counter, kCounterDesignWidth, kCounterMaxWidth);
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  HandleEvent([this] { FormShow(); });
}

void TForm1::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  if (!event->isAccepted()) return;
  closed_ = true;
  // Showing a window cancels the toolkit's own quit after the last window
  // closed; a device change that waited behind a message box may show one.
  // A queued quit is not cancelled that way. (Outside the application's
  // event loop, as in tests, quit does nothing.)
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::LayoutRequest && (watched == TabSheet4 || watched == GroupBox16)) {
    FitTexts();  // a self-sizing text may have changed
  } else if (event->type() == QEvent::MouseButtonPress &&
             static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    for (int field = 0; field < 4; ++field) {
      if (watched == TimingEdit[static_cast<std::size_t>(field)]) {
        HandleEvent([this, field] { TimingEditClick(field); });
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::FormShow() {
  // 1. The slot table.
  for (std::size_t n = 0; n < SlotTable.size(); ++n) {
    DeviceSlot& slot = SlotTable[n];
    slot.Letter = 0;
    slot.InfoText = DinfoStr[n];
    slot.Bar = ProgressBar[n];
    slot.CancelButton = CancelBtn[n];
  }
  // 2. and 3. The NAND timing table and the vendor list.
  station::LoadNandTimingTable("ACTiming.ini", NandTimingTable);
  FillVendorList();
  // 4. The UI texts in the system's language.
  station::UiTextTable& texts = station::UiTexts();
  station::LoadUiTexts("lang.ini", services_.systemLanguage(), texts);
  // 5. to 8. The window's texts.
  GroupBox16->setTitle(UiText(texts.LogStr));
  for (int n = 0; n < 8; ++n) {
    RowLabel[static_cast<std::size_t>(n)]->setText(UiText(texts.DeviceStr) + QStringLiteral(" %1: ").arg(n + 1));
  }
  StaticText10->setText(UiText(texts.TotalMsg) + QLatin1Char(':'));
  StaticText11->setText(UiText(texts.SuccessMsg) + QLatin1Char(':'));
  StaticText13->setText(UiText(texts.FailMsg) + QLatin1Char(':'));
  for (const DeviceSlot& slot : SlotTable) {
    slot.InfoText->setText(UiText(texts.WaitDeviceMsg));
    slot.CancelButton->setText(UiText(texts.CancelStr));
  }
  for (QLabel* label : RowLabel) FitFixedText(label);
  for (QLabel* label : {StaticText10, StaticText11, StaticText13}) FitFixedText(label);
  FitTexts();
  // 9. Custom mode.
  SetSelectMode(false);
}

void TForm1::CancelBtnClick(int row) {
  if (row < 0 || row >= 8) return;
  const auto i = static_cast<std::size_t>(row);
  CancelRequest[i].store(1);
  CancelBtn[i]->hide();
}

void TForm1::RecordJobResult(int success) {
  // Counted in 32 bits with wrap-around (never undefined), success as 0 or 1.
  const auto add = [](std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
  };
  TotalCount = add(TotalCount, 1);
  SuccessCount = add(SuccessCount, success != 0 ? 1 : 0);
  FailCount =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(TotalCount) - static_cast<std::uint32_t>(SuccessCount));
  TotalStr->setText(QString::asprintf("%d", TotalCount));
  SuccessStr->setText(QString::asprintf("%d", SuccessCount));
  FailStr->setText(QString::asprintf("%d", FailCount));
  FitTexts();
}

// ---- Jobs and rows ----

namespace {

// A job's way into its row: writes only while the row is still bound to the
// job; the verdict is counted either way.
class SlotJobRow final : public station::JobRow {
 public:
  SlotJobRow(TForm1& form, std::size_t row) : form_(form), row_(row), binding_(form.SlotTable[row].JobBinding) {}

  void SetText(std::string_view text, station::RowColour colour) override {
    const DeviceSlot* slot = Bound();
    if (slot == nullptr || slot->InfoText == nullptr) return;
    slot->InfoText->setText(UiText(text));
    switch (colour) {
      case station::RowColour::WindowText:
        SetTextColour(slot->InfoText, WindowTextColour());
        break;
      case station::RowColour::Pass:
        SetTextColour(slot->InfoText, kBlue);
        break;
      case station::RowColour::Failure:
        SetTextColour(slot->InfoText, kRed);
        break;
    }
  }

  void SetBarPosition(int position) override {
    const DeviceSlot* slot = Bound();
    if (slot != nullptr && slot->Bar != nullptr) slot->Bar->setValue(position);
  }

  void RecordVerdict(int success) override { form_.RecordJobResult(success); }

 private:
  const DeviceSlot* Bound() const {
    const DeviceSlot& slot = form_.SlotTable[row_];
    return slot.JobBinding == binding_ ? &slot : nullptr;
  }

  TForm1& form_;
  const std::size_t row_;
  const std::uint64_t binding_;
};

}  // namespace

std::unique_ptr<station::JobRow> TForm1::JobRowFor(std::size_t row) { return std::make_unique<SlotJobRow>(*this, row); }

void TForm1::ReleaseRowFromJobs(std::size_t row) { SlotTable[row].JobBinding += 1; }

// ---- Message dispatch ----

void TForm1::Dispatch(TMessage& message) {
  if (message.Msg == WM_DEVICECHANGE) {
    WMDeviceChange(message);
  } else {
    DefaultHandler(message);
  }
}

void TForm1::DefaultHandler(TMessage& /*message*/) {
  // The window has no default processing of these messages.
}
