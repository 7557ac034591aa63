#include "Corvel/CorvelDownloadView.h"

#include "Corvel/CorvelCarousel.h"
#include "Corvel/CorvelStyle.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
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
      bar_(new CorvelProgressBar), percent_(new QLabel), status_(new QLabel) {
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
    status_->setContentsMargins(sideInset, 0, sideInset, 0);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette quiet = status_->palette();
    quiet.setColor(QPalette::WindowText, colorFromHex(u"#8C8A85"));
    status_->setPalette(quiet);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(carousel_, 1);
    column->addWidget(bottom, 0);
    column->addWidget(status_, 0);

    percent_->setText(percentText(values_.overallProgress));
}

void CorvelDownloadView::setValues(const Values& values) {
    const bool stageChanged = values.stage != values_.stage;
    values_ = values;
    bar_->setProgress(values.overallProgress);
    const QString text = percentText(values.overallProgress);
    if (percent_->text() != text) percent_->setText(text);
    if (status_->text() != values.status) status_->setText(values.status);
    if (stageChanged) carousel_->startFresh();
}
