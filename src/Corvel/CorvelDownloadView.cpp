#include "Corvel/CorvelDownloadView.h"

#include "Corvel/CorvelCarousel.h"
#include "Corvel/CorvelStyle.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

QString percentText(double overallProgress) {
    if (std::isnan(overallProgress)) return QStringLiteral("0%");
    const long percent =
        overallProgress > 1 ? 100 : std::lround(std::max(overallProgress, 0.0) * 100);
    return QString::number(percent) + u'%';
}

double progressFillWidth(double trackWidth, double overallProgress) {
    if (!(overallProgress > 0)) return 0;
    // The fill stops at the end of the track: past it, it would run into the
    // percentage beside the bar.
    return trackWidth * std::min(overallProgress, 1.0);
}

CorvelProgressBar::CorvelProgressBar(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 100);
    setValue(0);
    setTextVisible(false);
    setAccessibleName(tr("Setup progress"));
    setFixedHeight(barHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void CorvelProgressBar::setProgress(double overallProgress) {
    if (overallProgress == progress_) return;
    progress_ = overallProgress;
    setValue(percentText(overallProgress).chopped(1).toInt());
    update();
}

void CorvelProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const qreal radius = barHeight / 2.0;
    painter.setBrush(colorFromHex(u"#E5E2DA"));
    painter.drawRoundedRect(QRectF(0, 0, width(), barHeight), radius, radius);
    const double fill = fillWidth();
    if (fill <= 0) return;
    painter.setBrush(colorFromHex(u"#D9A766"));
    // Narrower than the bar is high, the capsule would turn into an oval.
    const qreal r = std::min(radius, fill / 2);
    painter.drawRoundedRect(QRectF(0, 0, fill, barHeight), r, r);
}

CorvelDownloadView::CorvelDownloadView(QList<CarouselImage> images,
                                       std::chrono::milliseconds interval, CorvelClock& clock,
                                       QWidget* parent)
    : QWidget(parent), carousel_(new CorvelCarousel(std::move(images), interval, clock)),
      bar_(new CorvelProgressBar), percent_(new QLabel), status_(new QLabel),
      pause_(new QPushButton) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, colorFromHex(u"#403F3D"));
    setPalette(palette);

    percent_->setFont(CorvelFonts::medium14());
    // A box as wide as the widest text keeps the bar still while digits change.
    percent_->setFixedWidth(
        QFontMetrics(percent_->font()).horizontalAdvance(QStringLiteral("100%")) + 1);
    percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* bottom = new QWidget;
    bottom->setFixedHeight(bottomBarHeight);
    auto* row = new QHBoxLayout(bottom);
    row->setContentsMargins(sideInset, 0, sideInset, 0);
    row->setSpacing(barTextSpacing);
    row->addWidget(bar_, 1, Qt::AlignVCenter);
    row->addWidget(percent_, 0, Qt::AlignVCenter);

    // Under the bar, in a quieter tone than the percentage.
    status_->setFont(CorvelFonts::regular12());
    status_->setAccessibleDescription(tr("Status"));
    percent_->setAccessibleDescription(tr("Overall progress"));
    status_->setFixedHeight(statusHeight);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette quiet = status_->palette();
    quiet.setColor(QPalette::WindowText, colorFromHex(u"#8C8A85"));
    status_->setPalette(quiet);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(carousel_, 1);
    column->addWidget(bottom, 0);
    // The pause button at the end of the status line, quiet like it.
    pause_->setFont(CorvelFonts::regular12());
    pause_->setCursor(Qt::PointingHandCursor);
    pause_->setFocusPolicy(Qt::StrongFocus);
    pause_->setFixedHeight(statusHeight - 4);
    pause_->setStyleSheet(QStringLiteral(
        "QPushButton { color: #403F3D; background: #F0ECE4; border: 1px solid #E5E2DA;"
        " border-radius: 9px; padding: 0 10px; }"
        "QPushButton:focus { border-color: #D9A766; }"
        "QPushButton:pressed { background: #E5E2DA; }"));
    connect(pause_, &QPushButton::clicked, this, [this] {
        if (onPause) onPause(!values_.paused);
    });
    // Space anywhere in the window, as media players do.
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    space->setContext(Qt::WindowShortcut);
    connect(space, &QShortcut::activated, pause_, [this] {
        if (pause_->isVisible()) pause_->click();
    });
    auto* statusRow = new QHBoxLayout;
    statusRow->setContentsMargins(sideInset, 0, sideInset, 4);
    statusRow->setSpacing(barTextSpacing);
    statusRow->addWidget(status_, 1, Qt::AlignTop);
    statusRow->addWidget(pause_, 0, Qt::AlignTop);
    column->addLayout(statusRow, 0);
    showPauseState();

    percent_->setText(percentText(values_.overallProgress));
}

void CorvelDownloadView::setValues(const Values& values) {
    const bool stageChanged = values.stage != values_.stage;
    values_ = values;
    bar_->setProgress(values.overallProgress);
    const QString text = percentText(values.overallProgress);
    if (percent_->text() != text) percent_->setText(text);
    if (status_->text() != values.status) status_->setText(values.status);
    showPauseState();
    if (stageChanged) carousel_->startFresh();
}

void CorvelDownloadView::showPauseState() {
    pause_->setVisible(values_.stage != Stage::success);
    const QString text = values_.paused ? tr("Resume") : tr("Pause");
    if (pause_->text() != text) {
        pause_->setText(text);
        pause_->setAccessibleName(text);
    }
}
