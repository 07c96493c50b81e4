// The main window: a panel of 81 pixels across the top with the meters, the
// scope, the status memo and every switch and setting, and below it the text view
// that receives the decoded lines. The window owns the decoding engine and the
// capture; it starts them in FormCreate and stops them in FormDestroy. Everything
// here runs on the user-interface thread; decoding runs on the capture thread,
// which the window only reaches through atomic settings, the text hand-off, the
// status lines and the short lock around SampleBlock.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "render/standard_engine.h"
#include "core/scope.h"
#include "core/waveio.h"

namespace quorvel::app {

// The paint box of the scope: black, with the trace as a green polyline.
class ScopeBox final : public QWidget {
public:
    ScopeBox(const Scope& scope, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const Scope& scope_;
};

class TForm1 final : public QWidget {
public:
    static constexpr int FormWidth = 940;
    static constexpr int FormHeight = 686;
    static constexpr int PanelHeight = 81;
    static const char* const Caption;

    // The window as the program runs it: the system clock and the sound card.
    TForm1();
    // The window over a given audio back end and clock (tests: a simulated
    // device and a fixed clock). Both must outlive the window.
    TForm1(WaveInput& input, const Clock& clock);
    ~TForm1() override;
    TForm1(const TForm1&) = delete;
    TForm1& operator=(const TForm1&) = delete;

    // Handlers, named after their controls.
    void FormCreate();
    void FormDestroy();
    void CheckBox1Click();
    void CheckBox4Click();
    // The "sensitive" box: every decoder kind that has a sensitive form runs it.
    void CheckBox5Click();
    void ComboBox1Change(int index);
    void ComboBox2Change(int index);
    void ComboBox3Change(int index);
    void Button2Click();
    void Timer1Timer();
    void Timer2Timer();

    // The folder of the program's executable; the logs go into its "log"
    // subfolder. Tests point it elsewhere.
    QString ProgramFolder;

    StandardEngine& engine() { return *engine_; }
    WaveCapture& capture() { return *capture_; }
    const Scope& scope() const { return scope_; }

    // The controls, as laid out in the panel.
    QWidget* Panel1 = nullptr;
    QLabel* Pegel = nullptr;
    QProgressBar* pegelbar = nullptr;
    QLabel* Label1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    ScopeBox* PaintBox1 = nullptr;
    QFrame* Bevel1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QCheckBox* CheckBox4 = nullptr;
    QCheckBox* CheckBox5 = nullptr;
    QPushButton* Button4 = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QLabel* Label2 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QLabel* Label3 = nullptr;
    QComboBox* ComboBox3 = nullptr;
    QPlainTextEdit* RichEdit1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;

private:
    TForm1(std::unique_ptr<Clock> ownClock, std::unique_ptr<WaveInput> ownInput, WaveInput* input,
           const Clock* clock);
    void BuildControls();
    void ConnectHandlers();
    // Append text that is already UTF-8 with plain line feeds at the end of the
    // text view, put the caret after it and scroll it into view.
    void AppendToView(const QString& text);

    // Declared in the order they must be built; destroyed in reverse, so the
    // capture ends before the engine it feeds and the device it reads.
    std::unique_ptr<Clock> ownClock_;
    std::unique_ptr<WaveInput> ownInput_;
    WaveInput& input_;
    const Clock& clock_;
    std::unique_ptr<StandardEngine> engine_;
    std::unique_ptr<WaveCapture> capture_;
    CaptureKeeper keeper_;  // driven by Timer2
    Scope scope_;

    bool destroyed_ = false;
    std::string taken_;       // the take step's buffer, reused every tick
    QString memoText_;        // what Memo1 shows, to skip identical updates
};

// The text of the decoders (Windows-1252, lines ended by CR LF) as the view
// shows it: Unicode with line feeds.
QString ViewText(const std::string& cp1252);

}  // namespace quorvel::app
