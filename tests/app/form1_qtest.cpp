// The main window on the offscreen platform, over a simulated sound card and a
// fixed clock: layout and defaults, every handler, the text and status steps,
// meters, clip colour, scope, logs, device changes, start-up and shut-down.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "app/form1.h"
#include "core/logfile.h"
#include "fake_wave_input.h"
#include "gen/pocsag_gen.h"

using quorvel::app::TForm1;
using quorvel::testing::FakeWaveInput;

namespace {

// What the open list of a combo box does when the user picks an item, also the
// one already selected.
void Choose(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
}

void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2)); }

}  // namespace

class Form1Test : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeWaveInput> fake;
    quorvel::FixedClock clock{quorvel::DateTime{2024, 5, 17, 14, 3, 7, 0}};
    std::unique_ptr<TForm1> form;

    void Make(std::vector<std::string> devices = {"Line In", "USB Audio"}) {
        form.reset();
        fake = std::make_unique<FakeWaveInput>(std::move(devices));
        form = std::make_unique<TForm1>(*fake, clock);
        // The tests drive the two steps themselves.
        form->Timer1->stop();
        form->Timer2->stop();
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }

    // Hand the window some text the way the capture thread does: append, then
    // the publish step at the end of a block. Only while no block is processed.
    void Publish(const std::string& cp1252) {
        form->engine().ctx.MessageText += cp1252;
        form->engine().ctx.PublishText();
    }

    // Fill `count` buffers one wake at a time and wait until each was processed.
    bool FeedBlocks(int count) {
        for (int i = 0; i < count; ++i) {
            const auto before = form->capture().ProcessedBlocks();
            if (fake->Fill(1) != 1) return false;
            for (int spin = 0; form->capture().ProcessedBlocks() == before; ++spin) {
                if (spin > 2000) return false;
                QTest::qWait(1);
            }
        }
        return true;
    }

    int CountOf(const std::string& call) {
        int n = 0;
        for (const auto& c : fake->Calls()) n += c == call ? 1 : 0;
        return n;
    }

private slots:
    void init() { Make(); }
    void cleanup() {
        form.reset();
        fake.reset();
    }

    void startsWithItsLayoutAndDefaults() {
        QCOMPARE(form->windowTitle(), QStringLiteral("Quorvel Multi Decoder Version 0.05 https://quorvel.example.org"));
        QCOMPARE(form->size(), QSize(940, 686));
        QCOMPARE(form->font().pointSize(), 8);
        QCOMPARE(form->Panel1->geometry(), QRect(0, 0, 940, 81));
        QCOMPARE(form->RichEdit1->geometry().top(), 81);
        QCOMPARE(form->RichEdit1->geometry().bottom(), 685);

        struct Place {
            QWidget* w;
            int left, top;
            QString caption;
        };
        const Place places[] = {
            {form->Pegel, 8, 0, "level"},
            {form->Label1, 8, 40, "DC offset"},
            {form->CheckBox1, 456, 8, "POCSAG"},
            {form->CheckBox2, 536, 8, "FMS"},
            {form->CheckBox3, 616, 8, "ZVEI"},
            {form->CheckBox4, 696, 8, "POCSAG Logging"},
            {form->Label4, 456, 32, "ZVEI Tabelle"},
            {form->Label2, 576, 32, "POCSAG characteristic"},
            {form->Label3, 712, 32, "Waveinput Device"},
        };
        for (const Place& p : places) {
            QCOMPARE(p.w->parentWidget(), form->Panel1);
            QCOMPARE(p.w->pos(), QPoint(p.left, p.top));
            if (auto* l = qobject_cast<QLabel*>(p.w)) QCOMPARE(l->text(), p.caption);
            if (auto* b = qobject_cast<QAbstractButton*>(p.w)) QCOMPARE(b->text(), p.caption);
            // Nothing runs off the panel or into its neighbour on the right.
            QVERIFY2(p.w->geometry().bottom() < 81, qPrintable(p.caption));
        }
        QVERIFY(form->CheckBox1->geometry().right() < 536);
        QVERIFY(form->CheckBox4->geometry().right() < 824);
        QVERIFY(form->Label2->geometry().right() < 712);
        QCOMPARE(form->pegelbar->geometry(), QRect(8, 16, 81, 16));
        QCOMPARE(form->ProgressBar1->geometry(), QRect(8, 56, 81, 16));
        QCOMPARE(form->PaintBox1->geometry(), QRect(96, 6, 150, 70));
        QCOMPARE(form->Bevel1->geometry(), QRect(95, 5, 152, 72));
        QCOMPARE(form->Memo1->geometry(), QRect(256, 5, 193, 72));
        QCOMPARE(form->Button4->geometry(), QRect(824, 8, 81, 23));
        QCOMPARE(form->Button4->text(), QStringLiteral("clear window"));
        QCOMPARE(form->ComboBox1->geometry().topLeft(), QPoint(456, 48));
        QCOMPARE(form->ComboBox1->width(), 105);
        QCOMPARE(form->ComboBox2->geometry().topLeft(), QPoint(576, 48));
        QCOMPARE(form->ComboBox2->width(), 121);
        QCOMPARE(form->ComboBox3->geometry().topLeft(), QPoint(712, 48));
        QCOMPARE(form->ComboBox3->width(), 193);

        for (QProgressBar* bar : {form->pegelbar, form->ProgressBar1}) {
            QCOMPARE(bar->minimum(), -29);
            QCOMPARE(bar->maximum(), 0);
            QCOMPARE(bar->value(), -29);
        }
        const QStringList tables{"ZVEI normal", "ZVEI wide", "ZVEI narrow", "CCIR"};
        const QStringList characteristics{"Discriminator output", "Line output (filtered)"};
        for (int i = 0; i < tables.size(); ++i) QCOMPARE(form->ComboBox1->itemText(i), tables[i]);
        for (int i = 0; i < characteristics.size(); ++i) QCOMPARE(form->ComboBox2->itemText(i), characteristics[i]);
        QCOMPARE(form->ComboBox1->currentIndex(), 0);
        QCOMPARE(form->ComboBox2->currentIndex(), 0);
        QCOMPARE(form->ComboBox3->count(), 2);
        QCOMPARE(form->ComboBox3->itemText(1), QStringLiteral("USB Audio"));
        QCOMPARE(form->ComboBox3->currentIndex(), 0);
        for (QComboBox* box : {form->ComboBox1, form->ComboBox2, form->ComboBox3}) QVERIFY(!box->isEditable());
        for (QCheckBox* box : {form->CheckBox1, form->CheckBox2, form->CheckBox3, form->CheckBox4})
            QVERIFY(!box->isChecked());

        const auto& s = form->engine().ctx.settings;
        QVERIFY(!s.PocsagEnabled && !s.FmsEnabled && !s.ZveiEnabled);
        QCOMPARE(s.ZveiTableIndex.load(), 0);
        QCOMPARE(s.ToneMinRun.load(), 4);
        QCOMPARE(s.ToneMaxRun.load(), 10);
        QCOMPARE(s.PocsagCharacteristic.load(), 0);

        QVERIFY(form->RichEdit1->isReadOnly());
        QCOMPARE(form->RichEdit1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

        // Device 0 opened once at start-up: open, 100 buffers, start.
        QVERIFY(form->capture().CaptureRunning());
        QCOMPARE(fake->Calls(), (std::vector<std::string>{"open 0", "start"}));
        QCOMPARE(fake->Queued(), std::size_t{100});

        QCOMPARE(form->Timer1->interval(), 33);
        QCOMPARE(form->Timer2->interval(), 100);
    }

    void textViewHasFiveTabStopsInPoints() {
        const auto tabs = form->RichEdit1->document()->defaultTextOption().tabs();
        QCOMPARE(tabs.size(), 5);
        const double perPoint = form->RichEdit1->logicalDpiX() / 72.0;
        const double points[] = {50, 70, 120, 200, 250};
        for (int i = 0; i < 5; ++i) QCOMPARE(tabs[i].position, points[i] * perPoint);

        // Fields really line up there: the text after each TAB starts at the stop.
        Publish("1234567:\t3\tAlphaNum:\tx\r\n");
        form->Timer1Timer();  // takes the empty text waiting since start
        Publish("");
        form->Timer1Timer();
        const QTextBlock block = form->RichEdit1->document()->firstBlock();
        QCOMPARE(block.text(), QStringLiteral("1234567:\t3\tAlphaNum:\tx"));
        const QTextLine line = block.layout()->lineAt(0);
        const double left = line.x();  // the left margin, where the stops count from
        QVERIFY(std::abs(line.cursorToX(9) - left - 50 * perPoint) < 1.0);    // "3"
        QVERIFY(std::abs(line.cursorToX(11) - left - 70 * perPoint) < 1.0);   // "AlphaNum:"
        QVERIFY(std::abs(line.cursorToX(21) - left - 120 * perPoint) < 1.0);  // "x"
    }

    void decoderBoxesAreReadTogether() {
        Click(form->CheckBox2);
        QVERIFY(form->CheckBox2->isChecked());
        QVERIFY(form->engine().ctx.settings.FmsEnabled);
        Click(form->CheckBox1);
        const auto& s = form->engine().ctx.settings;
        QVERIFY(s.PocsagEnabled);
        QVERIFY(s.FmsEnabled);
        QVERIFY(!s.ZveiEnabled);
        Click(form->CheckBox3);
        Click(form->CheckBox2);
        QVERIFY(s.PocsagEnabled && !s.FmsEnabled && s.ZveiEnabled);
    }

    void sensitiveBoxSwitchesTheSensitiveDecoders() {
        // Unticked at start, beside the others without moving any of them.
        QCOMPARE(form->CheckBox5->parentWidget(), form->Panel1);
        QCOMPARE(form->CheckBox5->text(), QStringLiteral("sensitive"));
        QCOMPARE(form->CheckBox5->pos(), QPoint(824, 31));
        QVERIFY(!form->CheckBox5->isChecked());
        QVERIFY(form->CheckBox5->geometry().bottom() < 48);
        QVERIFY(form->CheckBox5->geometry().right() < 940);
        QVERIFY(form->Label3->geometry().right() < 824);
        QVERIFY(!form->CheckBox5->geometry().intersects(form->Button4->geometry()));
        QVERIFY(!form->CheckBox5->geometry().intersects(form->ComboBox3->geometry()));
        const auto& s = form->engine().ctx.settings;
        QVERIFY(!s.Sensitive);
        Click(form->CheckBox5);
        QVERIFY(form->CheckBox5->isChecked());
        QVERIFY(s.Sensitive);
        QVERIFY(!s.PocsagEnabled);  // the kinds' own switches stay as they were
        Click(form->CheckBox5);
        QVERIFY(!s.Sensitive);
    }

    void toneTableSetsItsLimits() {
        auto& s = form->engine().ctx.settings;
        Choose(form->ComboBox1, 3);
        QCOMPARE(s.ZveiTableIndex.load(), 3);
        QCOMPARE(s.ToneMinRun.load(), 7);
        QCOMPARE(s.ToneMaxRun.load(), 15);
        Choose(form->ComboBox1, 2);
        QCOMPARE(s.ZveiTableIndex.load(), 2);
        QCOMPARE(s.ToneMinRun.load(), 4);
        QCOMPARE(s.ToneMaxRun.load(), 10);

        // From the keyboard, as a user would: End picks "CCIR", Home "ZVEI normal".
        form->ComboBox1->setFocus();
        QTest::keyClick(form->ComboBox1, Qt::Key_End);
        QCOMPARE(form->ComboBox1->currentText(), QStringLiteral("CCIR"));
        QCOMPARE(s.ToneMinRun.load(), 7);
        QTest::keyClick(form->ComboBox1, Qt::Key_Home);
        QCOMPARE(s.ZveiTableIndex.load(), 0);
        QCOMPARE(s.ToneMaxRun.load(), 10);
    }

    void characteristicReachesTheFilter() {
        auto& pocsag = form->engine().pocsag;
        pocsag.PocsagLoadCoefficients();
        const auto discriminator = pocsag.FilterCoefficients;
        Choose(form->ComboBox2, 1);
        QCOMPARE(form->engine().ctx.settings.PocsagCharacteristic.load(), 1);
        pocsag.PocsagLoadCoefficients();
        QVERIFY(pocsag.FilterCoefficients != discriminator);
        Choose(form->ComboBox2, 0);
        QCOMPARE(form->engine().ctx.settings.PocsagCharacteristic.load(), 0);
        pocsag.PocsagLoadCoefficients();
        QVERIFY(pocsag.FilterCoefficients == discriminator);
    }

    void choosingTheSameDeviceReopensItAndDecodingCarriesOn() {
        fake->secondChannel = [](std::uint64_t, std::int32_t) -> std::int16_t { return 1000; };
        QVERIFY(FeedBlocks(7));
        const double dcBefore = form->engine().ctx.stats.DcOffset.load();
        QVERIFY(dcBefore > 0.0);
        QCOMPARE(form->capture().ReadIndex(), 7);

        Choose(form->ComboBox3, 0);
        QCOMPARE(fake->Calls(),
                 (std::vector<std::string>{"open 0", "start", "stop", "reset", "close", "open 0", "start"}));
        QVERIFY(form->capture().CaptureRunning());
        QCOMPARE(form->capture().ReadIndex(), 0);
        QCOMPARE(form->capture().WriteIndex(), 0);
        QCOMPARE(form->engine().ctx.stats.DcOffset.load(), dcBefore);

        QVERIFY(FeedBlocks(2));
        QVERIFY(form->engine().ctx.stats.DcOffset.load() > dcBefore);

        Choose(form->ComboBox3, 1);
        QCOMPARE(form->capture().DeviceIndex(), 1);
        QCOMPARE(fake->Calls().back(), std::string("start"));
        QCOMPARE(fake->Calls()[fake->Calls().size() - 2], std::string("open 1"));
    }

    void clearWindowEmptiesTheViewAndLaterTextFollows() {
        Publish("first\r\n");
        form->Timer1Timer();
        Publish("");
        form->Timer1Timer();
        QCOMPARE(form->RichEdit1->toPlainText(), QStringLiteral("first\n"));
        Click(form->Button4);
        QCOMPARE(form->RichEdit1->toPlainText(), QString());
        Publish("later\r\n");
        form->Timer1Timer();
        QCOMPARE(form->RichEdit1->toPlainText(), QStringLiteral("later\n"));
        QCOMPARE(form->RichEdit1->textCursor().position(), form->RichEdit1->document()->characterCount() - 1);
    }

    void textFromSeveralBlocksAppearsOnceAndInOrder() {
        // Blocks published while the window has not taken the last text pile up
        // in MessageText and are handed over together.
        Publish("0000001:\t0\tBeep \r\n");
        Publish("0000002:\t1\t");
        Publish("Numerisch:\t123\r\n");
        form->Timer1Timer();  // the empty text of start-up
        QCOMPARE(form->RichEdit1->toPlainText(), QString());
        Publish("0000003:\t2\tBeep \r\n");  // handed over now, with the rest
        Publish("0000004:\t3\tBeep \r\n");  // waits: not yet taken
        form->Timer1Timer();
        form->Timer1Timer();  // nothing new handed over: nothing appended
        Publish("");
        form->Timer1Timer();
        for (int i = 0; i < 3; ++i) {
            Publish("");
            form->Timer1Timer();
        }
        QCOMPARE(form->RichEdit1->toPlainText(), QStringLiteral("0000001:\t0\tBeep \n"
                                                                "0000002:\t1\tNumerisch:\t123\n"
                                                                "0000003:\t2\tBeep \n"
                                                                "0000004:\t3\tBeep \n"));
        // The caret is at the end and the view scrolled to it.
        QCOMPARE(form->RichEdit1->textCursor().position(), form->RichEdit1->document()->characterCount() - 1);
    }

    void windows1252TextShowsAsUnicode() {
        Publish("Status \xC4nderung: Stra\xDF" "e \x80\r\n");
        form->Timer1Timer();
        Publish("");
        form->Timer1Timer();
        QCOMPARE(form->RichEdit1->toPlainText(), QString::fromUtf8("Status Änderung: Straße €\n"));
    }

    void manyLinesScrollToTheEnd() {
        std::string text;
        for (int i = 0; i < 2000; ++i) text += "0000001:\t0\tBeep \r\n";
        Publish(text);
        form->Timer1Timer();
        Publish("");
        form->Timer1Timer();
        QCOMPARE(form->RichEdit1->document()->blockCount(), 2001);
        // Scrolled so that the caret, after the last line, is in view.
        QScrollBar* bar = form->RichEdit1->verticalScrollBar();
        QVERIFY(bar->maximum() > 1900);
        QVERIFY(bar->value() >= bar->maximum() - 1);
        QVERIFY(form->RichEdit1->viewport()->rect().contains(form->RichEdit1->cursorRect()));
    }

    void statusMemoShowsBothLines() {
        form->engine().ctx.PocsagStatusLine.Set("Sync 1200 Bd");
        form->engine().ctx.ActivityLine.Set("Gr\xFC\xDF" "e 14:03:07");
        form->Timer2Timer();
        QCOMPARE(form->Memo1->toPlainText(), QString::fromUtf8("Sync 1200 Bd\nGrüße 14:03:07"));
        QCOMPARE(form->Memo1->document()->blockCount(), 2);
        form->engine().ctx.ActivityLine.Set("next");
        form->Timer2Timer();
        QCOMPARE(form->Memo1->toPlainText(), QStringLiteral("Sync 1200 Bd\nnext"));
    }

    void statusMemoKeepsTheDecodersColumnsInView() {
        // The widest lines the POCSAG decoder writes: two tab-separated tables.
        form->engine().ctx.PocsagStatusLine.Set("level\tfreq\tspeed\r\n32767\tno tone\tnoise");
        form->engine().ctx.ActivityLine.Set("POCSAG\r\nidles\tsyncs\tfails\tcount\r\n12345\t1234\t1234\t123456");
        form->Timer2Timer();
        QTextDocument* document = form->Memo1->document();
        QCOMPARE(document->blockCount(), 5);
        const QRect viewport = form->Memo1->viewport()->rect();
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
            QTextLayout* layout = block.layout();
            QVERIFY(layout != nullptr);
            QVERIFY2(layout->lineCount() == 1, qPrintable("wraps: " + block.text()));
            const QRectF line = layout->lineAt(0).naturalTextRect().translated(layout->position());
            QVERIFY2(line.right() <= viewport.width(), qPrintable("runs out on the right: " + block.text()));
            QVERIFY2(line.bottom() <= viewport.height(), qPrintable("below the bottom: " + block.text()));
        }
        QDir().mkpath(QUORVEL_ARTIFACT_DIR);
        form->Memo1->grab().save(QStringLiteral(QUORVEL_ARTIFACT_DIR "/status-memo.png"));
    }

    void metersAndClipColourFollowTheStatistics() {
        auto& stats = form->engine().ctx.stats;
        const QColor buttonFace = QApplication::palette().color(QPalette::Button);
        auto clipColour = [&] { return form->Pegel->palette().color(form->Pegel->backgroundRole()); };
        QVERIFY(form->Pegel->autoFillBackground());

        stats.AcLevel = 1000.0;      // round(10 log10(1000 / 32768)) = round(-15.15)
        stats.DcMagnitude = 32768.0;  // full scale
        stats.ClipHold = 2.0;
        form->Timer2Timer();
        QCOMPARE(form->pegelbar->value(), -15);
        QCOMPARE(form->ProgressBar1->value(), 0);
        QCOMPARE(clipColour(), QColor(255, 0, 0));

        stats.AcLevel = 1.0;  // -45: an empty bar
        stats.DcMagnitude = 0.0;
        stats.ClipHold = 1.0;  // not above 1.0
        form->Timer2Timer();
        QCOMPARE(form->pegelbar->value(), -29);
        QCOMPARE(form->ProgressBar1->value(), -29);
        QCOMPARE(clipColour(), buttonFace);
        QVERIFY(buttonFace != QColor(255, 0, 0));

        // Through the capture thread: a full-scale square wave.
        fake->secondChannel = [](std::uint64_t, std::int32_t k) -> std::int16_t {
            return (k / 20) % 2 ? 32767 : -32767;
        };
        QVERIFY(FeedBlocks(3));
        form->Timer2Timer();
        QCOMPARE(form->pegelbar->value(), 0);
        QCOMPARE(clipColour(), QColor(255, 0, 0));
    }

    void scopeFreeRunsOnSilenceAndTriggersOnASine() {
        fake->secondChannel = [](std::uint64_t, std::int32_t) -> std::int16_t { return 0; };
        QVERIFY(FeedBlocks(2));
        form->Timer2Timer();
        QImage image = form->PaintBox1->grab().toImage();
        QCOMPARE(image.size(), QSize(150, 70));
        const QRgb green = qRgb(0, 255, 0);
        const QRgb black = qRgb(0, 0, 0);
        for (int x = 0; x < 150; ++x) {
            QCOMPARE(image.pixel(x, 35), green);
            QCOMPARE(image.pixel(x, 20), black);
            QCOMPARE(image.pixel(x, 50), black);
        }

        // 400 Hz at 8000: triggered traces that use the whole height.
        fake->secondChannel = [](std::uint64_t n, std::int32_t k) -> std::int16_t {
            const double t = (static_cast<double>(n) * 1024 + k) / 11025.0;
            return static_cast<std::int16_t>(std::lround(8000.0 * std::sin(2 * std::numbers::pi * 400.0 * t)));
        };
        QVERIFY(FeedBlocks(3));
        form->Timer2Timer();
        form->Timer2Timer();
        const auto& trace = form->scope().ScopeTrace();
        int low = 100, high = -100;
        for (const auto& p : trace) {
            low = std::min(low, p.y);
            high = std::max(high, p.y);
        }
        QCOMPARE(low, 5);
        QVERIFY(high >= 64);
        // It starts at a rising crossing: the first points climb.
        QVERIFY(trace[0].y <= 35 && trace[3].y < trace[0].y);
        image = form->PaintBox1->grab().toImage();
        int greenRows = 0;
        for (int y = 0; y < 70; ++y) {
            bool any = false;
            for (int x = 0; x < 150 && !any; ++x) any = image.pixel(x, y) == green;
            greenRows += any ? 1 : 0;
        }
        QVERIFY(greenRows >= 55);
    }

    void loggingOpensAndClosesBothLogs() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        form->ProgramFolder = dir.path();
        auto& logs = form->engine().logs;

        Click(form->CheckBox4);
        QVERIFY(form->CheckBox4->isChecked());
        QVERIFY(logs.MessageLogOpen());
        QVERIFY(logs.StreamLogOpen());
        const QDir logDir(dir.filePath("log"));
        QVERIFY(logDir.exists());
        QCOMPARE(logDir.entryList(QDir::Files).size(), 2);
        QVERIFY(QString::fromStdString(logs.MessageLogPath()).startsWith(logDir.filePath("POCSAG-Decoder-Messages-Log ")));
        QVERIFY(QString::fromStdString(logs.StreamLogPath()).startsWith(logDir.filePath("POCSAG-Decoder-Stream-Log ")));

        Click(form->CheckBox4);
        QVERIFY(!form->CheckBox4->isChecked());
        QVERIFY(!logs.MessageLogOpen());
        QVERIFY(!logs.StreamLogOpen());

        // Ticking it again starts two new files.
        Click(form->CheckBox4);
        QVERIFY(logs.MessageLogOpen() && logs.StreamLogOpen());
        QVERIFY(QFile::exists(QString::fromStdString(logs.MessageLogPath())));
        QVERIFY(QFile::exists(QString::fromStdString(logs.StreamLogPath())));
        QVERIFY(logDir.entryList(QDir::Files).size() >= 2);

        // Closing the window closes them; what was written is on disk.
        const QString path = QString::fromStdString(logs.MessageLogPath());
        form.reset();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.startsWith("POCSAG Decoder "));
        QVERIFY(content.contains("timebegin   timeend   address"));
    }

    void aLogThatCannotOpenLeavesTheBoxUnticked() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // A file where the log folder should be: neither folder nor logs can be made.
        QFile blocker(dir.filePath("log"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        form->ProgramFolder = dir.path();

        Click(form->CheckBox4);
        QVERIFY(!form->CheckBox4->isChecked());
        QVERIFY(!form->engine().logs.MessageLogOpen());
        QVERIFY(!form->engine().logs.StreamLogOpen());
        QVERIFY(form->RichEdit1->toPlainText().startsWith(QStringLiteral("POCSAG Logging is off: ")));
        QVERIFY(form->RichEdit1->toPlainText().size() > 30);
    }

    void pocsagCallThroughTheSoundCardReachesTheView() {
        quorvel::gen::PocsagMessage message;
        message.address = 1234567;
        message.function = 3;
        message.kind = quorvel::gen::PocsagMessage::Kind::Alphanumeric;
        message.text = "Grüße aus Köln, Straße 12";
        quorvel::gen::PocsagSignal signal;
        auto wave = std::make_shared<std::vector<double>>(
            quorvel::gen::PocsagWaveform(signal, quorvel::gen::PocsagCodewords({message})));
        const std::uint64_t lead = 2;  // silent buffers before the call
        fake->secondChannel = [wave, lead](std::uint64_t n, std::int32_t k) -> std::int16_t {
            const std::int64_t i = (static_cast<std::int64_t>(n) - static_cast<std::int64_t>(lead)) * 1024 + k;
            if (i < 0 || i >= static_cast<std::int64_t>(wave->size())) return 0;
            return static_cast<std::int16_t>(std::lround((*wave)[static_cast<std::size_t>(i)]));
        };
        Click(form->CheckBox1);
        const int blocks = static_cast<int>(lead + wave->size() / 1024 + 30);
        QVERIFY(FeedBlocks(blocks));
        for (int i = 0; i < 3; ++i) {
            form->Timer1Timer();
            Publish("");
        }
        form->Timer1Timer();
        const QString text = form->RichEdit1->toPlainText();
        QVERIFY2(text.contains(QString::fromUtf8("1234567:\t3\tAlphaNum:\tGrüße aus Köln, Straße 12")), qPrintable(text));
        QCOMPARE(text.count(QStringLiteral("1234567:")), 1);
        form->Timer2Timer();
        QVERIFY(!form->Memo1->toPlainText().trimmed().isEmpty());
    }

    // A picture of the window with traffic, kept in the build folder for a
    // person to look at; checks that what it shows is what the window holds.
    void screenshotWithTraffic() {
        Publish("");
        form->Timer1Timer();
        Publish("0123456:\t0\tBeep \r\n"
                "1234567:\t3\tAlphaNum:\tGr\xFC\xDF" "e aus K\xF6ln\r\n"
                "0000042:\t1\tNumerisch:\t112 -[]\r\n\t\tAlphaNum:\tab\r\n"
                "FMS\t14:03:07\tStatus 3\t\xC4nderung\r\n");
        form->Timer1Timer();
        form->engine().ctx.PocsagStatusLine.Set("POCSAG 1200 Baud, Sync");
        form->engine().ctx.ActivityLine.Set("14:03:07 POCSAG 1234567");
        fake->secondChannel = [](std::uint64_t n, std::int32_t k) -> std::int16_t {
            const double t = (static_cast<double>(n) * 1024 + k) / 11025.0;
            return static_cast<std::int16_t>(std::lround(6000.0 * std::sin(2 * std::numbers::pi * 700.0 * t)));
        };
        QVERIFY(FeedBlocks(20));
        form->Timer2Timer();
        form->Timer2Timer();
        const QImage image = form->grab().toImage();
        QCOMPARE(image.size(), QSize(940, 686));
        QDir().mkpath(QStringLiteral(QUORVEL_ARTIFACT_DIR));
        QVERIFY(image.save(QStringLiteral(QUORVEL_ARTIFACT_DIR "/form1-traffic.png")));
        QCOMPARE(form->RichEdit1->document()->blockCount(), 6);
        QVERIFY(form->pegelbar->value() > -29);
        // The scope's bevel frames the black paint box.
        QCOMPARE(image.pixel(96 + 1, 6 + 1), qRgb(0, 0, 0));
        QVERIFY(image.pixel(95, 40) != qRgb(0, 0, 0));
    }

    void timersRunFromStartUp() {
        form->Timer1->start();
        form->Timer2->start();
        form->engine().ctx.ActivityLine.Set("alive");
        Publish("tick\r\n");
        // The first tick takes the start-up text, then the publish below hands
        // over ours, which a later tick appends.
        QTRY_VERIFY_WITH_TIMEOUT(form->Memo1->toPlainText().endsWith("alive"), 2000);
        Publish("");
        QTRY_COMPARE_WITH_TIMEOUT(form->RichEdit1->toPlainText(), QStringLiteral("tick\n"), 2000);
    }

    void devicesAreListedUpToTwenty() {
        std::vector<std::string> names;
        for (int i = 0; i < 25; ++i) names.push_back("Input " + std::to_string(i));
        Make(names);
        QCOMPARE(form->ComboBox3->count(), 20);
        QCOMPARE(form->ComboBox3->itemText(19), QStringLiteral("Input 19"));
        Choose(form->ComboBox3, 19);
        QCOMPARE(fake->Calls()[fake->Calls().size() - 2], std::string("open 19"));
    }

    void noDeviceLeavesTheWindowWorking() {
        Make({});
        QCOMPARE(form->ComboBox3->count(), 0);
        QVERIFY(!form->capture().CaptureRunning());
        form->Timer2Timer();
        QCOMPARE(form->pegelbar->value(), -29);
        QCOMPARE(form->scope().ScopeTrace()[150], (quorvel::ScopePoint{150, 35}));
    }

    void theDeviceBoxShowsDescriptionsAndSaysWhenThereIsNoInput() {
        form.reset();
        fake = std::make_unique<FakeWaveInput>(
            std::vector<std::string>{"alsa_input.usb-0d8c_USB_Sound_Device-00.analog-mono", "hw:0,0"},
            std::vector<std::string>{"USB Sound Device Mono"});
        form = std::make_unique<TForm1>(*fake, clock);
        QCOMPARE(form->ComboBox3->count(), 2);
        QCOMPARE(form->ComboBox3->itemText(0), QStringLiteral("USB Sound Device Mono"));
        QCOMPARE(form->ComboBox3->itemData(0, Qt::ToolTipRole).toString(),
                 QStringLiteral("alsa_input.usb-0d8c_USB_Sound_Device-00.analog-mono"));
        QCOMPARE(form->ComboBox3->itemText(1), QStringLiteral("hw:0,0"));  // no description: the name

        Make({});
        QCOMPARE(form->ComboBox3->currentIndex(), -1);  // the placeholder is what the box shows
        QVERIFY(form->ComboBox3->placeholderText().contains(QStringLiteral("no sound input")));
    }

    void aDeviceThatGoesAwayIsOpenedAgainSilentlyWhenItIsBack() {
        Make();
        QVERIFY(FeedBlocks(2));
        fake->Disappear();
        form->Timer2Timer();
        QVERIFY(!fake->IsOpen());
        QVERIFY(!form->capture().CaptureRunning());
        fake->Reappear();
        // The keeper tries again after half a second.
        QTRY_VERIFY_WITH_TIMEOUT((form->Timer2Timer(), form->capture().CaptureRunning()), 3000);
        QVERIFY(fake->IsOpen());
        QCOMPARE(CountOf("open 0"), 2);
        QVERIFY(FeedBlocks(2));
        QCOMPARE(form->RichEdit1->toPlainText(), QString());  // nothing said in the view
    }

    void aDeviceThatFailsToOpenProcessesNothing() {
        form.reset();
        fake = std::make_unique<FakeWaveInput>(std::vector<std::string>{"Broken"});
        fake->failStart = true;
        fake->fillWhileStopped = true;
        form = std::make_unique<TForm1>(*fake, clock);
        QVERIFY(!form->capture().CaptureRunning());
        fake->Fill(3);
        QTest::qWait(50);
        QCOMPARE(form->capture().ProcessedBlocks(), std::uint64_t{0});
        QCOMPARE(form->engine().ctx.stats.AcLevel.load(), 0.0);
    }

    void closingShutsDownLogsThenCapture() {
        QTemporaryDir dir;
        form->ProgramFolder = dir.path();
        Click(form->CheckBox4);
        QVERIFY(form->engine().logs.MessageLogOpen());
        form->FormDestroy();
        QVERIFY(!form->engine().logs.MessageLogOpen());
        QVERIFY(!form->engine().logs.StreamLogOpen());
        QVERIFY(!form->capture().CaptureThreadAlive());
        QVERIFY(!fake->IsOpen());
        const auto calls = fake->Calls();
        QCOMPARE(std::vector<std::string>(calls.end() - 3, calls.end()),
                 (std::vector<std::string>{"stop", "reset", "close"}));
        // Destroying the window afterwards does not close anything twice.
        form.reset();
        QCOMPARE(CountOf("close"), 1);
        QCOMPARE(fake->AddsWhileClosed(), 0);
    }
};

QTEST_MAIN(Form1Test)
#include "form1_qtest.moc"
