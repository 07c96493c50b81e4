#include "form1.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QList>
#include <QPainter>
#include <QPalette>
#include <QPoint>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextOption>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <chrono>

#include "core/common.h"
#include "core/logfile.h"
#include "core/processing.h"

#ifdef QUORVEL_HAVE_AUDIO
#include "audio/sound_input.h"
#endif

namespace quorvel::app {

const char* const TForm1::Caption = "Quorvel Multi Decoder Version 0.05 https://quorvel.example.org";

namespace {

#ifndef QUORVEL_HAVE_AUDIO
// Built without a sound-card back end: no input devices, so the window runs with
// meters and scope at rest, as with a machine that has no sound card.
class NoWaveInput final : public WaveInput {
public:
    std::int32_t GetNumDevs() override { return 0; }
    int GetDevName(std::int32_t, std::string&) override { return 1; }
    int Open(std::int32_t, AutoResetEvent&) override { return 1; }
    int PrepareHeader(WaveHeader&) override { return 1; }
    int AddBuffer(WaveHeader&) override { return 1; }
    int Start() override { return 1; }
    int Stop() override { return 1; }
    int Reset() override { return 1; }
    int Close() override { return 1; }
};
#endif

std::unique_ptr<WaveInput> CreateSoundCardInput() {
#ifdef QUORVEL_HAVE_AUDIO
    return CreateSoundInput();
#else
    return std::make_unique<NoWaveInput>();
#endif
}

// Tab stops of the text view, in points from the left margin.
constexpr std::array<double, 5> TabStopPoints{50.0, 70.0, 120.0, 200.0, 250.0};

}  // namespace

QString ViewText(const std::string& cp1252) {
    QString text = QString::fromUtf8(Cp1252ToUtf8(cp1252));
    // Lines end in CR LF; the view breaks lines at the LF alone. Decoders spell
    // control codes out, so a CR never stands on its own.
    text.remove(QLatin1Char('\r'));
    return text;
}

ScopeBox::ScopeBox(const Scope& scope, QWidget* parent) : QWidget(parent), scope_(scope) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ScopeBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(0, 0, width(), height(), Qt::black);
    painter.setPen(QColor(0, 255, 0));
    std::array<QPoint, Scope::TracePoints> points;
    const Scope::Trace& trace = scope_.ScopeTrace();
    for (std::size_t i = 0; i < points.size(); ++i) points[i] = QPoint(trace[i].x, trace[i].y);
    painter.drawPolyline(points.data(), static_cast<int>(points.size()));
}

TForm1::TForm1() : TForm1(std::make_unique<SystemClock>(), CreateSoundCardInput(), nullptr, nullptr) {}

TForm1::TForm1(WaveInput& input, const Clock& clock) : TForm1(nullptr, nullptr, &input, &clock) {}

TForm1::TForm1(std::unique_ptr<Clock> ownClock, std::unique_ptr<WaveInput> ownInput, WaveInput* input,
               const Clock* clock)
    : ownClock_(std::move(ownClock)),
      ownInput_(std::move(ownInput)),
      input_(input != nullptr ? *input : *ownInput_),
      clock_(clock != nullptr ? *clock : *ownClock_),
      engine_(std::make_unique<StandardEngine>(clock_)),
      capture_(std::make_unique<WaveCapture>(input_, *engine_)),
      keeper_(*capture_),
      scope_(engine_->ctx) {
    ProgramFolder = QCoreApplication::applicationDirPath();
    BuildControls();
    ConnectHandlers();
    FormCreate();
    Timer1->start();
    Timer2->start();
}

TForm1::~TForm1() { FormDestroy(); }

void TForm1::BuildControls() {
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    setFont(font);
    resize(FormWidth, FormHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new QWidget(this);
    Panel1->setFixedHeight(PanelHeight);
    layout->addWidget(Panel1);

    RichEdit1 = new QPlainTextEdit(this);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(RichEdit1, 1);

    auto label = [this](const char* text, int left, int top) {
        auto* l = new QLabel(QString::fromUtf8(text), Panel1);
        l->move(left, top);
        l->adjustSize();
        return l;
    };
    auto bar = [this](int left, int top) {
        auto* b = new QProgressBar(Panel1);
        b->setGeometry(left, top, 81, 16);
        b->setRange(meter::BarMinimum, meter::BarMaximum);
        b->setValue(meter::BarMinimum);
        b->setTextVisible(false);
        return b;
    };
    auto checkBox = [this](const char* text, int left, int top) {
        auto* c = new QCheckBox(QString::fromUtf8(text), Panel1);
        c->move(left, top);
        c->adjustSize();
        c->setChecked(false);
        return c;
    };
    auto comboBox = [this](int left, int top, int width) {
        auto* c = new QComboBox(Panel1);
        c->setEditable(false);
        c->move(left, top);
        c->resize(width, c->sizeHint().height());
        return c;
    };

    Pegel = label("level", 8, 0);
    Pegel->setAutoFillBackground(true);
    pegelbar = bar(8, 16);
    Label1 = label("DC offset", 8, 40);
    ProgressBar1 = bar(8, 56);

    Bevel1 = new QFrame(Panel1);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setLineWidth(1);
    PaintBox1 = new ScopeBox(scope_, Panel1);
    PaintBox1->setGeometry(96, 6, Scope::Width, Scope::Height);

    Memo1 = new QPlainTextEdit(Panel1);
    Memo1->setGeometry(256, 5, 193, 72);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The status lines are small tables with tabs between their columns; with
    // the toolkit's default stops (80 px) they wrap and the counters drop out of
    // the 72 px box. A stop just wider than the widest field ("no tone") keeps
    // every line whole, and a thin margin keeps all five lines in view.
    Memo1->setTabStopDistance(Memo1->fontMetrics().horizontalAdvance(QStringLiteral("no tone ")));
    Memo1->document()->setDocumentMargin(1);

    CheckBox1 = checkBox("POCSAG", 456, 8);
    CheckBox2 = checkBox("FMS", 536, 8);
    CheckBox3 = checkBox("ZVEI", 616, 8);
    CheckBox4 = checkBox("POCSAG Logging", 696, 8);
    // Below the clear button, right of the device label: nothing else moves.
    CheckBox5 = checkBox("sensitive", 824, 31);
    CheckBox5->setFixedHeight(17);  // between the clear button and the device box

    Button4 = new QPushButton(QStringLiteral("clear window"), Panel1);
    Button4->setGeometry(824, 8, 81, 23);

    Label4 = label("ZVEI Tabelle", 456, 32);
    ComboBox1 = comboBox(456, 48, 105);
    ComboBox1->addItems({QStringLiteral("ZVEI normal"), QStringLiteral("ZVEI wide"), QStringLiteral("ZVEI narrow"),
                         QStringLiteral("CCIR")});
    Label2 = label("POCSAG characteristic", 576, 32);
    ComboBox2 = comboBox(576, 48, 121);
    ComboBox2->addItems({QStringLiteral("Discriminator output"), QStringLiteral("Line output (filtered)")});
    // The box keeps its narrow width in the panel; the open list shows whole names.
    ComboBox2->view()->setMinimumWidth(ComboBox2->sizeHint().width());
    Label3 = label("Waveinput Device", 712, 32);
    ComboBox3 = comboBox(712, 48, 193);
    // Shown while the box has no item.
    ComboBox3->setPlaceholderText(QStringLiteral("no sound input found"));

    Timer1 = new QTimer(this);
    Timer1->setInterval(33);
    Timer2 = new QTimer(this);
    Timer2->setInterval(100);
}

void TForm1::ConnectHandlers() {
    // The user's choices only: selecting items from the code (start-up) does not
    // run the handlers, and choosing the item already selected does.
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3})
        connect(box, &QCheckBox::clicked, this, [this] { CheckBox1Click(); });
    connect(CheckBox4, &QCheckBox::clicked, this, [this] { CheckBox4Click(); });
    connect(CheckBox5, &QCheckBox::clicked, this, [this] { CheckBox5Click(); });
    connect(ComboBox1, &QComboBox::activated, this, [this](int i) { ComboBox1Change(i); });
    connect(ComboBox2, &QComboBox::activated, this, [this](int i) { ComboBox2Change(i); });
    connect(ComboBox3, &QComboBox::activated, this, [this](int i) { ComboBox3Change(i); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });
}

void TForm1::FormCreate() {
    setWindowTitle(QString::fromUtf8(Caption));

    // The bevel frames the scope one pixel outside it on every side.
    const QRect box = PaintBox1->geometry();
    Bevel1->setGeometry(box.left() - 1, box.top() - 1, box.width() + 2, box.height() + 2);
    Bevel1->lower();

    ComboBox1->setCurrentIndex(0);
    ComboBox1Change(0);
    ComboBox2->setCurrentIndex(0);
    ComboBox2Change(0);

    RichEdit1->setReadOnly(true);
    QTextOption option = RichEdit1->document()->defaultTextOption();
    QList<QTextOption::Tab> tabs;
    const double pixelsPerPoint = RichEdit1->logicalDpiX() / 72.0;
    for (double points : TabStopPoints) tabs.append(QTextOption::Tab(points * pixelsPerPoint, QTextOption::LeftTab));
    option.setTabs(tabs);
    RichEdit1->document()->setDefaultTextOption(option);

    capture_->EnumerateDevices();
    ComboBox3->clear();
    const std::int32_t listed = std::min(capture_->DeviceCount(), MaxListedDevices);
    for (std::int32_t i = 0; i < listed; ++i) {
        // The description people know the input by; the whole name as its tip.
        ComboBox3->addItem(QString::fromUtf8(capture_->DeviceLabel(i)));
        ComboBox3->setItemData(i, QString::fromUtf8(capture_->Devices()[static_cast<std::size_t>(i)].name),
                               Qt::ToolTipRole);
    }
    ComboBox3->setCurrentIndex(listed > 0 ? 0 : -1);

    capture_->OpenCapture();
}

void TForm1::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    Timer1->stop();
    Timer2->stop();
    LogFiles& logs = engine_->logs;
    if (logs.MessageLogOpen()) logs.MessageLog(laClose);
    if (logs.StreamLogOpen()) logs.StreamLog(laClose);
    capture_->CloseCapture();
}

void TForm1::CheckBox1Click() {
    DecoderSettings& s = engine_->ctx.settings;
    s.PocsagEnabled.store(CheckBox1->isChecked());
    s.FmsEnabled.store(CheckBox2->isChecked());
    s.ZveiEnabled.store(CheckBox3->isChecked());
}

void TForm1::CheckBox5Click() { engine_->ctx.settings.Sensitive.store(CheckBox5->isChecked()); }

void TForm1::CheckBox4Click() {
    LogFiles& logs = engine_->logs;
    if (!CheckBox4->isChecked()) {
        logs.MessageLog(laClose);
        logs.StreamLog(laClose);
        return;
    }
    // One level: the folder "log" beside the program. Whether it could be made
    // shows when the files are opened.
    const QString folder = QDir(ProgramFolder).filePath(QStringLiteral("log"));
    QDir().mkdir(folder);
    logs.SetFolder(QFile::encodeName(QDir::toNativeSeparators(folder)).toStdString() +
                   static_cast<char>(QDir::separator().toLatin1()));

    std::string why;
    if (!logs.MessageLog(laOpen)) why = logs.LastError();
    if (!logs.StreamLog(laOpen) && why.empty()) why = logs.LastError();
    if (!logs.MessageLogOpen() || !logs.StreamLogOpen()) {
        // Half a log is no log: close what did open, and do not pretend.
        if (logs.MessageLogOpen()) logs.MessageLog(laClose);
        if (logs.StreamLogOpen()) logs.StreamLog(laClose);
        CheckBox4->setChecked(false);
        if (why.empty()) why = "the log files could not be opened";
        AppendToView(QStringLiteral("POCSAG Logging is off: ") + QString::fromStdString(why) + QLatin1Char('\n'));
    }
}

void TForm1::ComboBox1Change(int index) {
    if (index < 0) return;  // no item chosen
    engine_->ctx.settings.SelectToneTable(index);
}

void TForm1::ComboBox2Change(int index) {
    if (index < 0) return;
    engine_->ctx.settings.PocsagCharacteristic.store(index);
    engine_->pocsag.PocsagSetCharacteristic();
}

void TForm1::ComboBox3Change(int index) {
    if (index < 0) return;
    capture_->SetDeviceIndex(index);
    capture_->CloseCapture();
    capture_->OpenCapture();
}

void TForm1::Button2Click() { RichEdit1->clear(); }

void TForm1::AppendToView(const QString& text) {
    QTextCursor cursor = RichEdit1->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    RichEdit1->setTextCursor(cursor);
    RichEdit1->ensureCursorVisible();
}

void TForm1::Timer1Timer() {
    if (!engine_->ctx.TakeText(taken_) || taken_.empty()) return;
    AppendToView(ViewText(taken_));
}

void TForm1::Timer2Timer() {
    // A device or sound server that went away is opened again once it is back.
    keeper_.Check(std::chrono::steady_clock::now());

    SharedContext& ctx = engine_->ctx;
    const QString memo = ViewText(ctx.PocsagStatusLine.Get() + "\r\n" + ctx.ActivityLine.Get());
    if (memo != memoText_) {
        memoText_ = memo;
        Memo1->setPlainText(memo);
    }

    pegelbar->setValue(meter::BarValue(meter::Position(ctx.stats.AcLevel.load(std::memory_order_relaxed))));
    ProgressBar1->setValue(meter::BarValue(meter::Position(ctx.stats.DcMagnitude.load(std::memory_order_relaxed))));
    const bool red = meter::ClipIndicatorRed(ctx.stats.ClipHold.load(std::memory_order_relaxed));
    QPalette palette = Pegel->palette();
    palette.setColor(QPalette::Window, red ? QColor(255, 0, 0) : QApplication::palette().color(QPalette::Button));
    Pegel->setPalette(palette);

    scope_.DrawScope();
    PaintBox1->update();
}

}  // namespace quorvel::app
