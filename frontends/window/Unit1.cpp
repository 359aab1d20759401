#include "frontends/window/Unit1.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPainter>
#include <QStyle>
#include <QTextLayout>
#include <QWindow>
#include <QPaintEvent>

#include <algorithm>

#include "base/activity_log.h"
#include "engine/engine_texts.h"
#include "frontends/web/web_engine_glue.h"
#include "frontends/window/alarm_warning.h"
#include "frontends/window/Unit4.h"
#include "frontends/window/Unit3.h"

namespace ipcam {

namespace {

QIcon drawnIcon(const std::function<void(QPainter&)>& draw) {
    QPixmap pm(40, 40);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    return QIcon(pm);
}

QPushButton* imageButton(QWidget* parent, const QString& tip, const QIcon& icon) {
    auto* b = new QPushButton(parent);
    b->setToolTip(tip);
    b->setAccessibleName(tip);
    b->setIcon(icon);
    b->setIconSize(QSize(36, 36));
    b->resize(48, 48);
    return b;
}

// How a QLabel aligned left and centred vertically draws its plain text
// (in the direction of the text).
constexpr int kStatusTextFlags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextExpandTabs;

}  // namespace

StatusLabel::StatusLabel(QWidget* parent) : QWidget(parent) {
    // It paints all of itself: a new text repaints the line alone.
    setAttribute(Qt::WA_OpaquePaintEvent);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    QFont f = font();
    f.setPixelSize(13);
    setFont(f);
}

void StatusLabel::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    placed_ = false;
    if (QAccessible::isActive()) {
        setAccessibleName(text);  // what a screen reader reads, as it read the label's text
    }
    // The line has a fixed place and size: nothing to lay out anew.
    if (!putDirect()) {
        update();
    }
}

void StatusLabel::setDirectOutput(ShmPreview* shm) {
    direct_ = shm ? std::make_unique<DirectOutput>(this, shm) : nullptr;
    directImage_ = QImage();
}

// The line drawn into shared memory, as paintEvent draws it, and put.
bool StatusLabel::putDirect() {
    if (!direct_ || !isVisible() || size().isEmpty()) {
        return false;
    }
    if (directImage_.size() != size()) {
        directImage_ = direct_->shm()->allocate(size());
    }
    if (!direct_->ready(directImage_, QPoint(0, 0))) {
        return false;  // drawn the ordinary way alone
    }
    {
        QPainter p(&directImage_);
        p.setFont(font());
        draw(p);
    }
    direct_->send(directImage_, QPoint(0, 0));
    return true;
}

void StatusLabel::forgetFont() {
    raw_ = QRawFont();
    baselineHeight_ = -1;
    glyphs_.clear();
    offsets_.clear();
    placed_ = false;
}

void StatusLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        forgetFont();
    }
    QWidget::changeEvent(event);
}

bool StatusLabel::glyphOf(QChar c, quint32& glyph) {
    const auto known = glyphs_.constFind(c.unicode());
    if (known != glyphs_.cend()) {
        glyph = *known;
        return glyph != 0;
    }
    glyph = 0;
    QTextLayout layout(QString(c), font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    if (runs.size() == 1 && runs[0].glyphIndexes().size() == 1 && runs[0].rawFont() == raw_) {
        glyph = runs[0].glyphIndexes()[0];
    }
    glyphs_.insert(c.unicode(), glyph);
    return glyph != 0;
}

bool StatusLabel::offsetOf(QChar a, QChar b, qreal& offset) {
    const quint32 key = (quint32{a.unicode()} << 16) | b.unicode();
    const auto known = offsets_.constFind(key);
    if (known != offsets_.cend()) {
        offset = *known;
        return !qIsNaN(offset);
    }
    offset = qQNaN();
    quint32 ga = 0, gb = 0;
    if (glyphOf(a, ga) && glyphOf(b, gb)) {
        QTextLayout layout(QString(a) + b, font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        if (runs.size() == 1 && runs[0].glyphIndexes() == QList<quint32>{ga, gb} && runs[0].rawFont() == raw_) {
            offset = runs[0].positions()[1].x() - runs[0].positions()[0].x();
        }
    }
    offsets_.insert(key, offset);
    return !qIsNaN(offset);
}

namespace {

// A character of simple left-to-right text: placed from measured pairs.
bool isSimpleChar(QChar c) { return !c.isSurrogate() && c.unicode() >= 0x20 && c.unicode() < 0x0590; }

}  // namespace

// Lays `text` out once and keeps the offset of every pair in it whose two
// glyphs are the characters' own: one shaping teaches all the pairs of a new
// text, where one per pair would shape each anew. Only for simple
// left-to-right text, whose glyphs come in the characters' order.
void StatusLabel::learnPairs(const QString& text) {
    if (!std::all_of(text.begin(), text.end(), isSimpleChar)) {
        return;
    }
    QTextLayout layout(text, font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    if (runs.size() != 1 || runs[0].rawFont() != raw_ || runs[0].glyphIndexes().size() != text.size()) {
        return;  // not one glyph a character: each pair is asked on its own
    }
    const QList<quint32> glyphs = runs[0].glyphIndexes();
    const QList<QPointF> positions = runs[0].positions();
    for (qsizetype i = 1; i < text.size(); ++i) {
        const quint32 key = (quint32{text[i - 1].unicode()} << 16) | text[i].unicode();
        quint32 ga = 0, gb = 0;
        if (offsets_.contains(key) || !glyphOf(text[i - 1], ga) || !glyphOf(text[i], gb) || ga != glyphs[i - 1] ||
            gb != glyphs[i]) {
            continue;
        }
        offsets_.insert(key, positions[i].x() - positions[i - 1].x());
    }
}

bool StatusLabel::place() {
    if (!raw_.isValid()) {
        raw_ = QRawFont::fromFont(font());
        if (!raw_.isValid()) {
            return false;
        }
        // The counters' digits come in every pair sooner or later: learn them
        // now, ten lines of "d0d1..d9d." (every pair with d, either way round).
        for (char16_t d = u'0'; d <= u'9'; ++d) {
            QString line;
            for (char16_t x : u"0123456789.") {
                if (x) line.append(QChar(d)).append(QChar(x));
            }
            learnPairs(line);
        }
    }
    for (qsizetype i = 1; i < text_.size(); ++i) {
        if (!offsets_.contains((quint32{text_[i - 1].unicode()} << 16) | text_[i].unicode())) {
            learnPairs(text_);
            break;
        }
    }
    if (baselineHeight_ != height()) {
        // Where QPainter::drawText puts the line: centred in the height,
        // its baseline one ascent below the line's top.
        const QFontMetricsF metrics(font());
        baseline_ = metrics.boundingRect(QRectF(rect()), kStatusTextFlags | Qt::TextForceLeftToRight, QStringLiteral("0"))
                        .top() +
                    metrics.ascent();
        baselineHeight_ = height();
    }
    indexes_.resize(text_.size());
    positions_.resize(text_.size());
    qreal x = 0;
    for (qsizetype i = 0; i < text_.size(); ++i) {
        const QChar c = text_[i];
        if (!isSimpleChar(c)) {
            return false;
        }
        if (i > 0) {
            qreal offset = 0;
            if (!offsetOf(text_[i - 1], c, offset)) {
                return false;
            }
            x += offset;
        }
        if (!glyphOf(c, indexes_[i])) {
            return false;
        }
        positions_[i] = QPointF(x, 0);
    }
    run_.setRawFont(raw_);
    run_.setGlyphIndexes(indexes_);
    run_.setPositions(positions_);
    return true;
}

void StatusLabel::paintEvent(QPaintEvent* event) {
    if (direct_) {
        direct_->painted(event->region());
    }
    QPainter p(this);
    draw(p);
}

void StatusLabel::draw(QPainter& p) {
    p.fillRect(rect(), palette().window());
    if (text_.isEmpty()) {
        return;
    }
    p.setPen(palette().windowText().color());
    if (!placed_) {
        placed_ = true;
        simple_ = place();
    }
    if (simple_) {
        p.drawGlyphRun(QPointF(0, baseline_), run_);
    } else {
        p.setFont(font());
        p.drawText(rect(),
                   kStatusTextFlags | (text_.isRightToLeft() ? Qt::TextForceRightToLeft : Qt::TextForceLeftToRight),
                   text_);
    }
}

PreviewPanel::PreviewPanel(const QImage& image, QWidget* parent) : QWidget(parent), image_(image) {
    // The panel paints every pixel it covers itself, so a new picture
    // repaints the panel alone and not the group box and window under it.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect PreviewPanel::pictureRect() const {
    if (image_.isNull()) {
        return {};
    }
    // The decoded picture is already fitted to the panel: it is drawn
    // unscaled, in the middle; a picture that fills the panel's width or
    // height stands at its left or top.
    return {QPoint(std::max(0, (width() - image_.width()) / 2), std::max(0, (height() - image_.height()) / 2)),
            image_.size()};
}

void PreviewPanel::pictureChanged() {
    // A picture of the same size and place repaints only itself: the black
    // around it is already there.
    const QRect at = pictureRect();
    if (at == shown_ && !at.isEmpty()) {
        if (direct_ && direct_->ready(image_, at.topLeft())) {
            direct_->send(image_, at.topLeft());
        } else {
            update(at);
        }
        return;
    }
    shown_ = at;
    update();
}

void PreviewPanel::setDirectOutput(ShmPreview* shm) {
    direct_ = shm ? std::make_unique<DirectOutput>(this, shm) : nullptr;
}

bool DirectOutput::ready(const QImage& image, QPoint at) const {
    if (!widget_->isVisible()) {
        return false;
    }
    QWidget* top = widget_->window();
    QWindow* handle = top->windowHandle();
    if (!handle || !handle->isExposed() || handle->devicePixelRatio() != 1.0) {
        return false;
    }
    for (QObject* child : widget_->children()) {
        if (auto* w = qobject_cast<QWidget*>(child); w && w->isVisible()) {
            return false;
        }
    }
    return (QRegion(QRect(at, image.size())) - widget_->visibleRegion()).isEmpty() && shm_->canPut(image, top->winId());
}

void DirectOutput::send(const QImage& image, QPoint at) {
    QWidget* top = widget_->window();
    if (!shm_->put(image, top->winId(), widget_->mapTo(top, at))) {
        return;
    }
    if (QWindow* handle = top->windowHandle(); watched_ != handle) {
        if (watched_) {
            watched_->removeEventFilter(this);
        }
        handle->installEventFilter(this);
        watched_ = handle;
    }
    stale_ += QRect(at, image.size());
}

bool DirectOutput::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watched_.data() && event->type() == QEvent::Expose && !stale_.isEmpty()) {
        // Marked before the window handles the expose, so that it paints
        // these pixels anew rather than showing what its backing store held.
        widget_->update(stale_);
    }
    return QObject::eventFilter(watched, event);
}

void PreviewPanel::paintEvent(QPaintEvent* event) {
    if (direct_) {
        direct_->painted(event->region());
    }
    QPainter p(this);
    QRegion black = event->region();
    const QRect at = pictureRect();
    if (!at.isEmpty()) {
        p.drawImage(at.topLeft(), image_);
        black -= at;
    }
    // Only what the picture leaves uncovered is filled.
    for (const QRect& r : black) {
        p.fillRect(r, Qt::black);
    }
}

void PreviewPanel::resizeEvent(QResizeEvent* event) {
    shown_ = QRect();
    QWidget::resizeEvent(event);
}

TForm1::TForm1() : TForm1(Options{}) {}

TForm1::TForm1(RecorderEngine& engine, Hooks hooks, QWidget* parent)
    : QWidget(parent), options_(std::move(hooks)), engine_(&engine) {
    build();
}

TForm1::TForm1(Options options, QWidget* parent)
    : QWidget(parent), options_(static_cast<Hooks>(options)), timerScale_(options.timerScale),
      ownEngine_(std::make_unique<RecorderEngine>(static_cast<EngineOptions>(options))), engine_(ownEngine_.get()) {
    build();
}

void TForm1::build() {
    // FormCreate.
    setWindowTitle(QString::fromLatin1(kVersionLine));
    setObjectName("Form1");
    RecorderEngine* e = engine_;

    // Controls, at their places in the middle layout.
    LinkInfo = new QLineEdit(this);
    LinkInfo->setReadOnly(true);
    LinkInfo->setGeometry(24, 24, 337, 25);
    ImageBox1 = new QGroupBox(this);
    ImageBox1->setGeometry(24, 40, 337, 265);
    LinkInfo->raise();
    PreviewInfo = new StatusLabel(this);
    PreviewInfo->setGeometry(168, 304, 193, 24);
    DiskSpace = new StatusLabel(this);
    DiskSpace->setGeometry(168, 328, 193, 24);

    Record1 = imageButton(this, "Record", drawnIcon([](QPainter& p) {
                              p.setBrush(Qt::red);
                              p.setPen(Qt::darkRed);
                              p.drawEllipse(8, 8, 24, 24);
                          }));
    RecordStop1 = imageButton(this, "Stop", drawnIcon([](QPainter& p) {
                                  p.setBrush(Qt::darkGray);
                                  p.setPen(Qt::black);
                                  p.drawRect(10, 10, 20, 20);
                              }));
    Reload1 = imageButton(this, "Reload", style()->standardIcon(QStyle::SP_BrowserReload));
    Settings1 = imageButton(this, "Settings", style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    PlayBack1 = imageButton(this, "PlayBack", style()->standardIcon(QStyle::SP_MediaPlay));
    Record1->move(24, 305);
    RecordStop1->move(24, 305);
    Reload1->move(24, 305);
    Settings1->move(72, 305);
    PlayBack1->move(120, 305);

    PreviewImage1 = new PreviewPanel(e->preview(), ImageBox1);
    PreviewImage1->setGeometry(8, 16, 321, 241);
    shmPreview_ = ShmPreview::create();
    if (shmPreview_) {
        e->setPreviewAllocator(shmPreview_->allocator());
        PreviewImage1->setDirectOutput(shmPreview_.get());
        PreviewInfo->setDirectOutput(shmPreview_.get());
        DiskSpace->setDirectOutput(shmPreview_.get());
    }
    PleaseWait = new QLabel(PreviewImage1);
    PleaseWait->move(0, 0);
    {
        QPalette pal = PleaseWait->palette();
        pal.setColor(QPalette::WindowText, Qt::red);
        PleaseWait->setPalette(pal);
        QFont f = PleaseWait->font();
        f.setPixelSize(16);
        PleaseWait->setFont(f);
    }
    PleaseWait->hide();
    // While an attempt is due the notice blinks.
    blink_.setInterval(static_cast<int>(std::max(1.0, 1000 * timerScale_)));
    connect(&blink_, &QTimer::timeout, this, [this] { PleaseWait->setVisible(!PleaseWait->isVisible()); });

    // What the engine says. Boxes and dialogs open from the event loop,
    // never inside the engine's socket or timer handler that reported it.
    connect(e, &RecorderEngine::stateChanged, this, &TForm1::render);
    countersLater_.setSingleShot(true);
    connect(&countersLater_, &QTimer::timeout, this, &TForm1::renderStatusLine);
    connect(e, &RecorderEngine::previewUpdated, PreviewImage1, [this] { PreviewImage1->pictureChanged(); });
    connect(e, &RecorderEngine::engineEvent, this, &TForm1::onEngineEvent, Qt::QueuedConnection);

    // What the user does.
    connect(Record1, &QPushButton::clicked, this, [this, e] {
        e->record();
        if (playbackOpened_) skipActivation_ = true;
    });
    connect(RecordStop1, &QPushButton::clicked, this, [this, e] {
        e->stop();
        if (playbackOpened_) skipActivation_ = true;
    });
    connect(Reload1, &QPushButton::clicked, e, &RecorderEngine::reconnect);
    connect(Settings1, &QPushButton::clicked, this, [this] { openSettings(); });
    connect(PlayBack1, &QPushButton::clicked, this, [this] {
        skipActivation_ = true;
        playbackOpened_ = true;
        showPlaybackWindow();
    });
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &TForm1::onFocusWindowChanged);

    applyLayout(1);
    render();
}

TForm1::~TForm1() {
    closing_ = true;
    web_.reset();
    engine_->close();
    engine_->setPreviewAllocator(nullptr);
    disconnect(engine_, nullptr, this, nullptr);
}

void TForm1::setForms(TForm3* setup, TForm4* playback) {
    setupForm_ = setup;
    playbackForm_ = playback;
}

SetupContext TForm1::setupContext() {
    RecorderEngine* e = engine_;
    return SetupContext{
        dialogRecord_,
        e->clock(),
        [e]() -> std::optional<CameraSettings> {
            if (!e->hasSettingsFile()) return std::nullopt;
            return e->settings();
        },
        [e](const CameraSettings& record) { return e->applySettings(record); },
        [e] { e->armAlarmMail(); },
        [e] { return e->fallbackDirectory(); },
        nullptr,
        nullptr,
        [this](const std::string& text) { showWarning(QString::fromStdString(text)); },
        [e] { return e->prerollKeptSeconds(); },
    };
}

void TForm1::renderStatusLine() {
    const EngineState& s = engine_->state();
    const qint64 gap = static_cast<qint64>(kCountersGapMs * timerScale_);
    if (s.statusNote == EngineState::StatusNote::Counters && countersShown_.isValid() &&
        countersShown_.elapsed() < gap) {
        if (!countersLater_.isActive()) {
            countersLater_.start(static_cast<int>(gap - countersShown_.elapsed()));
        }
        return;
    }
    countersLater_.stop();
    countersShown_.start();
    PreviewInfo->setText(QString::fromStdString(statusLineText(s)));
}

// The engine's state on the controls.
void TForm1::render() {
    const EngineState& s = engine_->state();
    LinkInfo->setText(QString::fromStdString(linkLineText(s)));
    renderStatusLine();
    DiskSpace->setText(QString::fromStdString(freeSpaceLineText(s)));
    // One of the stacked buttons is on show.
    Record1->setVisible(s.offer == Offer::Record);
    RecordStop1->setVisible(s.offer == Offer::Stop);
    Reload1->setVisible(s.offer == Offer::Reconnect);
    Settings1->setEnabled(s.settingsAllowed);
    if (s.wait == LinkWait::Waiting) {
        if (!blink_.isActive()) {
            PleaseWait->setText(QString::fromStdString(waitText(s.wait)));
            PleaseWait->adjustSize();
            PleaseWait->show();
            blink_.start();
        }
    } else {
        blink_.stop();
        if (const QString text = QString::fromStdString(waitText(s.wait)); text != PleaseWait->text()) {
            PleaseWait->setText(text);
            PleaseWait->adjustSize();
        }
        PleaseWait->setVisible(s.wait != LinkWait::None);
    }
    if (s.resolution != laidOut_) {
        applyLayout(s.resolution);
    }
}

void TForm1::onEngineEvent(const EngineEvent& e) {
    if (closing_) {
        return;
    }
    switch (e.code) {
        case EngineCode::SignInRefused:
            signInRefused(e);
            return;
        case EngineCode::FolderMissing:
            folderMissing();
            return;
        case EngineCode::RecordingStopped:
        case EngineCode::FolderBusy:
            showWarningOnce(QString::fromStdString(eventText(e)));
            return;
        case EngineCode::AlarmMailFailed:
            // One box at a time; it holds up nothing.
            if (options_.warningHook) {
                options_.warningHook(eventText(e));
            } else if (!alarmBoxOpen_) {
                alarmBoxOpen_ = true;
                openAlarmWarningBox(this, eventText(e), e.reason, [this] { alarmBoxOpen_ = false; });
            }
            return;
        case EngineCode::HandlerFailed:
            if (options_.warningHook) {
                options_.warningHook(e.detail);
            } else {
                QMessageBox::critical(this, QCoreApplication::applicationName(), QString::fromStdString(e.detail));
            }
            return;
        case EngineCode::SettingsApplied:
            // New settings from anywhere (the web page too): the state shows
            // them; an open setup dialog is told.
            render();
            if (setupForm_) {
                setupForm_->settingsChangedElsewhere(engine_->settings());
            }
            return;
        case EngineCode::FirstRun:
            if (setupForm_) {
                setupForm_->setCaption(QStringLiteral("IPCAM INI file Settings"));
                dialogRecord_ = engine_->settings();
                setupForm_->loadControlsFromRecord();
            }
            return;
        default:
            return;
    }
}

// A refused password: the box, then the setup dialog, then the camera is
// tried again with what the dialog left (saved or not); nothing connects
// while they are open. The fourth refusal in a row ends the program once
// its box is closed.
void TForm1::signInRefused(const EngineEvent& e) {
    engine_->suspendLink();
    showWarning(QString::fromStdString(eventText(e)));
    if (closing_) {
        return;
    }
    if (e.attempt >= 4) {
        close();
        QCoreApplication::quit();
        return;
    }
    dialogRecord_ = engine_->settings();
    runSetupDialog();
    // Edits left in the dialog without Save are used for the next attempt,
    // and are not written.
    if (const auto problem = engine_->applySettings(dialogRecord_, /*save=*/false)) {
        showWarning(QString::fromStdString(problem->text));
    }
    engine_->armAlarmMail();
    engine_->resumeLink();
}

// The recording folder is missing: the engine records into the fallback
// folder meanwhile; here the user is told, and the fallback is saved.
void TForm1::folderMissing() {
    showWarning(QStringLiteral("Directory for AVI recording is not available!"));
    CameraSettings record = engine_->settings();
    const std::string fallback = engine_->fallbackDirectory();
    const bool stillMissing = !engine_->state().folder.missing.empty() || record.aviDirectory.empty();
    if (!stillMissing || record.aviDirectory == fallback) {
        return;  // there again meanwhile, or the fallback already
    }
    record.aviDirectory = fallback;
    if (const auto problem = engine_->applySettings(record)) {
        showWarning(QString::fromStdString(problem->text));
    }
}

void TForm1::openSettings() {
    engine_->suspendLink();
    runSetupDialog();
    engine_->armAlarmMail();
    engine_->resumeLink();
}


void TForm1::activateFirstTime() {
    engine_->start();
    if (!web_)
        web_ = WebEngineGlue::startFromSettings(*engine_, {false, {}});
}

void TForm1::activate() {
    engine_->armAlarmMail();
    if (skipActivation_) {
        skipActivation_ = false;
        return;
    }
    engine_->start();
}

void TForm1::onFocusWindowChanged(QWindow* window) {
    if (!window) {
        return;
    }
    QWindow* previous = lastFocusWindow_;
    lastFocusWindow_ = window;
    // Coming back from the playback window activates the main window anew.
    // (The setup dialog's return is handled by whoever opened it; message
    // boxes and switching applications do not count.)
    if (window == windowHandle() && playbackForm_ && previous && previous == playbackForm_->windowHandle()) {
        activate();
    }
}

void TForm1::showWarning(const QString& text) {
    if (options_.warningHook) {
        options_.warningHook(text.toStdString());
        return;
    }
    QMessageBox box(QMessageBox::Critical, "Warning!", text, QMessageBox::Ok, this);
    box.exec();
}

void TForm1::showWarningOnce(const QString& text) {
    if (std::find(boxesOnShow_.begin(), boxesOnShow_.end(), text) != boxesOnShow_.end()) {
        return;
    }
    boxesOnShow_.push_back(text);
    showWarning(text);
    boxesOnShow_.erase(std::find(boxesOnShow_.begin(), boxesOnShow_.end(), text));
}

void TForm1::runSetupDialog() {
    if (options_.setupDialogHook) {
        options_.setupDialogHook();
        return;
    }
    if (setupForm_) {
        setupForm_->exec();
    }
}

void TForm1::showPlaybackWindow() {
    if (playbackForm_) {
        playbackForm_->show();
        playbackForm_->raise();
        playbackForm_->activateWindow();
    }
}

void TForm1::applyLayout(uint8_t resolution) {
    struct Layout {
        int clientW, clientH, boxW, boxH, imgW, imgH, imgTop, imgLeft, linkW, infoW, infoTop, diskTop, buttonsTop;
    };
    static constexpr Layout large{702, 602, 657, 505, 641, 481, 16, 8, 657, 513, 544, 568, 545};
    static constexpr Layout middle{382, 362, 337, 265, 321, 241, 16, 8, 337, 193, 304, 328, 305};
    static constexpr Layout small{389, 362, 337, 265, 161, 121, 76, 88, 337, 193, 304, 328, 305};
    const Layout& l = resolution == 0 ? large : resolution == 2 ? small : middle;
    laidOut_ = resolution;
    setFixedSize(l.clientW, l.clientH);
    move(100, 100);
    ImageBox1->resize(l.boxW, l.boxH);
    PreviewImage1->setGeometry(l.imgLeft, l.imgTop, l.imgW, l.imgH);
    LinkInfo->resize(l.linkW, LinkInfo->height());
    PreviewInfo->setGeometry(168, l.infoTop, l.infoW, 24);
    DiskSpace->setGeometry(168, l.diskTop, l.infoW, 24);
    for (QPushButton* b : {Record1, RecordStop1, Reload1, Settings1, PlayBack1}) {
        b->move(b->x(), l.buttonsTop);
    }
}

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        if (engine_) engine_->setPreviewWanted(isVisible() && !isMinimized());
    }
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (engine_) engine_->setPreviewWanted(!isMinimized());
}

void TForm1::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (engine_) engine_->setPreviewWanted(false);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!closing_) {
        closing_ = true;
        web_.reset();
        engine_->close();
    }
    event->accept();
    if (playbackForm_) {
        playbackForm_->hide();
    }
    QCoreApplication::quit();
}

}  // namespace ipcam
