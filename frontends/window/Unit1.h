#pragma once
// The main window: live preview, status lines and the five buttons, a view
// of the recording engine.

#include <QElapsedTimer>
#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QRawFont>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QGroupBox>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <functional>
#include <map>
#include <memory>

#include "engine/recorder_engine.h"
#include "frontends/window/shm_preview.h"
#include "base/clock.h"
#include "frontends/window/setup_context.h"

class QWindow;

namespace ipcam {

class TForm3;
class TForm4;
class WebEngineGlue;

// Puts a widget's new pixels on the screen past Qt's paint cycle (through
// ShmPreview) when nothing of Qt's lies over them: no visible child, no
// sibling above, the window exposed and unscaled. The backing store then
// holds older pixels there, so an expose of the window repaints them first.
class DirectOutput : public QObject {
public:
    DirectOutput(QWidget* widget, ShmPreview* shm) : widget_(widget), shm_(shm) {}
    ShmPreview* shm() const { return shm_; }
    // Whether `image` (from shm()->allocate) can go to `at` in the widget
    // this way now; then send() puts it there.
    bool ready(const QImage& image, QPoint at) const;
    void send(const QImage& image, QPoint at);
    // The widget painted `region` the ordinary way.
    void painted(const QRegion& region) { stale_ -= region; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* widget_;
    ShmPreview* shm_;
    QPointer<QWindow> watched_;
    QRegion stale_;  // put past the backing store, in the widget
};

// The preview panel: draws the decoded picture (already fitted to the
// panel) unscaled in its middle, black around it.
class PreviewPanel : public QWidget {
public:
    PreviewPanel(const QImage& image, QWidget* parent);
    // A new picture is in the image: repaints what it covers.
    void pictureChanged();
    // Pictures in its shared memory go to the screen through it, when
    // nothing lies over the picture; null: always painted.
    void setDirectOutput(ShmPreview* shm);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRect pictureRect() const;

    const QImage& image_;
    QRect shown_;  // where the last picture repainted stands
    std::unique_ptr<DirectOutput> direct_;
};

// A status line: one line of white text on black, left-aligned and centred
// vertically, drawn as a QLabel draws it. Its text changes with every
// picture, so a new text is not shaped anew: each character's glyph and the
// offset from one character to the next are measured once (in the context of
// the pair, so kerning is kept) and a text is placed from them. A pair that
// does not shape into its two characters' own glyphs (a ligature, a script
// that needs its whole context) makes the text drawn the ordinary way.
class StatusLabel : public QWidget {
public:
    explicit StatusLabel(QWidget* parent);
    void setText(const QString& text);
    QString text() const { return text_; }
    // A new text is drawn into shared memory and put on the screen, when
    // nothing lies over the line; null: always painted.
    void setDirectOutput(ShmPreview* shm);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void draw(QPainter& p);
    bool putDirect();
    bool place();  // fills run_ for text_; false: draw it the ordinary way
    bool glyphOf(QChar c, quint32& glyph);
    bool offsetOf(QChar a, QChar b, qreal& offset);
    void learnPairs(const QString& text);
    void forgetFont();

    QString text_;
    QRawFont raw_;
    qreal baseline_ = 0;  // below the top, for a line centred in the height below
    int baselineHeight_ = -1;
    QHash<char16_t, quint32> glyphs_;
    QHash<quint32, qreal> offsets_;  // pair (a << 16 | b) -> from a's origin to b's; NaN: not simple
    QGlyphRun run_;
    QList<quint32> indexes_;
    QList<QPointF> positions_;
    bool placed_ = false;
    bool simple_ = false;  // run_ holds text_
    std::unique_ptr<DirectOutput> direct_;
    QImage directImage_;  // the line as last put, in shared memory
};

// The main window: a view of the recording engine. It renders the engine's
// state (texts, buttons, the preview), shows boxes and the dialogs for its
// events, and turns the user's clicks and the window's activation into the
// engine's commands. What to do after a refused password or with a missing
// recording folder is decided here: the engine goes on meanwhile.
class TForm1 : public QWidget {
    Q_OBJECT
public:
    // Test hooks that replace the modal boxes and the setup dialog.
    struct Hooks {
        std::function<void(const std::string&)> warningHook;
        std::function<void()> setupDialogHook;
    };
    // The engine's options and the hooks, for a window with an engine of
    // its own (tests).
    struct Options : EngineOptions, Hooks {};

    // A view of `engine`, which outlives the window (the program's way).
    explicit TForm1(RecorderEngine& engine, Hooks hooks = {}, QWidget* parent = nullptr);
    TForm1();
    explicit TForm1(Options options, QWidget* parent = nullptr);
    ~TForm1() override;

    // The other windows, created by the program entry after this one.
    void setForms(TForm3* setup, TForm4* playback);

    RecorderEngine& engine() { return *engine_; }

    // What the setup dialogs need: the copy of the settings they edit and
    // the engine's settings commands.
    SetupContext setupContext();

    // The first activation, when the window is first shown.
    void activateFirstTime();
    // An activation of the main window (coming back from the playback window).
    void activate();
    // The next activation only arms alarm e-mails (Record or Stop pressed
    // while the playback window is open).
    void spareNextActivation() { skipActivation_ = true; }
    bool activationSpared() const { return skipActivation_; }
    // The Settings button: the link ends, the setup dialog runs on a copy of
    // the settings, and the camera is connected anew.
    void openSettings();

    // Controls, for the layout and for tests.
    QLineEdit* LinkInfo;
    QGroupBox* ImageBox1;
    PreviewPanel* PreviewImage1;
    QLabel* PleaseWait;
    StatusLabel* PreviewInfo;
    StatusLabel* DiskSpace;
    QPushButton* Record1;
    QPushButton* RecordStop1;
    QPushButton* Reload1;
    QPushButton* Settings1;
    QPushButton* PlayBack1;

    // Lays the window out for a resolution (0 large, 2 small, else middle).
    void applyLayout(uint8_t resolution);

protected:
    void closeEvent(QCloseEvent* event) override;
    // The preview is decoded only while the window is shown and not minimised.
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void render();
    // The status line under the preview. Its counters change with every
    // picture of a stream: they are drawn at once after a quiet spell of
    // kCountersGapMs, else once at its end as they then stand. Any other
    // text is drawn at once.
    void renderStatusLine();
    static constexpr int kCountersGapMs = 100;
    void onEngineEvent(const EngineEvent& e);
    void signInRefused(const EngineEvent& e);
    void folderMissing();
    void onFocusWindowChanged(QWindow* window);
    void showWarning(const QString& text);
    // A box whose text is already waiting or on show is not shown again.
    void showWarningOnce(const QString& text);
    void runSetupDialog();
    void showPlaybackWindow();

    void build();

    Hooks options_;
    double timerScale_ = 1.0;
    std::unique_ptr<RecorderEngine> ownEngine_;  // only for a window made with Options
    RecorderEngine* engine_ = nullptr;
    // The engine's preview pictures may live in its memory: the window hands
    // them back before it goes.
    std::unique_ptr<ShmPreview> shmPreview_;
    std::unique_ptr<WebEngineGlue> web_;  // the web page, when the settings ask for it
    TForm3* setupForm_ = nullptr;
    TForm4* playbackForm_ = nullptr;
    QWindow* lastFocusWindow_ = nullptr;
    CameraSettings dialogRecord_;  // what the setup dialogs edit
    QTimer blink_;                 // the please-wait notice, once a second
    QTimer countersLater_;         // single shot: the end of the status line's quiet spell
    QElapsedTimer countersShown_;  // since the status line was last drawn
    std::vector<QString> boxesOnShow_;
    int laidOut_ = -1;             // the resolution the window is laid out for
    bool skipActivation_ = false;
    bool playbackOpened_ = false;
    bool alarmBoxOpen_ = false;
    bool closing_ = false;
};

}  // namespace ipcam
