#include "Corvel/CorvelFailureView.h"

#include "Corvel/CorvelElidedText.h"
#include "Corvel/CorvelStyle.h"

#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <QVBoxLayout>

namespace {

// The accent-coloured information mark: the "info_empty" resource drawn as a
// template when the application has one, otherwise a drawn circle with an "i".
class InfoIcon : public QWidget {
  public:
    static constexpr int size = 24;

    InfoIcon() {
        setFixedSize(size, size);
        QFile file(QStringLiteral(":/images/info_empty"));
        if (file.open(QIODevice::ReadOnly)) {
            QSvgRenderer renderer(file.readAll());
            if (renderer.isValid()) {
                template_ = QImage(size * 4, size * 4, QImage::Format_ARGB32_Premultiplied);
                template_.fill(Qt::transparent);
                QPainter p(&template_);
                renderer.render(&p);
            }
        }
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const QColor accent = colorFromHex(u"#EE443F");
        if (!template_.isNull()) {
            QImage tinted = template_;
            QPainter p(&tinted);
            p.setCompositionMode(QPainter::CompositionMode_SourceIn);
            p.fillRect(tinted.rect(), accent);
            p.end();
            painter.drawImage(QRectF(0, 0, size, size), tinted);
            return;
        }
        painter.setPen(Qt::NoPen);
        painter.setBrush(accent);
        painter.drawEllipse(QRectF(1, 1, size - 2, size - 2));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QRectF(10.5, 5.5, 3, 3));
        painter.drawRoundedRect(QRectF(10.75, 10, 2.5, 8.5), 1.25, 1.25);
    }

  private:
    QImage template_;
};

} // namespace

CorvelPillButton::CorvelPillButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setFont(CorvelFonts::medium16());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setFixedSize(sizeHint());
}

void CorvelPillButton::keyPressEvent(QKeyEvent* event) {
    // Return and Enter too, as on a dialog's default button; Space is built in.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        animateClick();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

QSize CorvelPillButton::sizeHint() const {
    return {CorvelFailureView::buttonWidth, 12 + fontMetrics().height() + 12};
}

void CorvelPillButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    // The design's corner radius of 24 is more than half the height: a capsule.
    const qreal radius = std::min(24.0, shape.height() / 2);
    QColor fill = colorFromHex(u"#F0ECE4");
    if (isDown()) fill = fill.darker(106);
    painter.setPen(QPen(colorFromHex(u"#E5E2DA"), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(shape, radius, radius);
    painter.setPen(colorFromHex(u"#403F3D"));
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text());
}

CorvelFailureView::CorvelFailureView(const QString& message, std::function<void()> onRetry,
                                     std::function<void()> onQuit, QWidget* parent)
    : QWidget(parent), onRetry_(std::move(onRetry)), onQuit_(std::move(onQuit)), title_(new QLabel),
      message_(new CorvelElidedText(maxMessageLines)), button_(nullptr) {
    button_ = new CorvelPillButton(tr("OK"));

    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, colorFromHex(u"#FAF9F7"));
    setPalette(palette);

    title_->setText(tr("Installation Failed"));
    title_->setFont(CorvelFonts::semibold18());
    QPalette titlePalette = title_->palette();
    titlePalette.setColor(QPalette::WindowText, colorFromHex(u"#191918"));
    title_->setPalette(titlePalette);

    message_->setText(message.isEmpty()
                          ? tr("Insufficient disk space!\nAt least 1000 MB is required, but only "
                               "120 MB is available.\nPlease clear some space and try again.")
                          : message);
    message_->setFont(CorvelFonts::regular14());
    QPalette messagePalette = message_->palette();
    messagePalette.setColor(QPalette::WindowText, colorFromHex(u"#403F3D"));
    message_->setPalette(messagePalette);

    auto* textBlock = new QVBoxLayout;
    textBlock->setSpacing(4);
    textBlock->setContentsMargins(0, 0, 0, 0);
    textBlock->addWidget(new InfoIcon, 0, Qt::AlignLeft);
    textBlock->addWidget(title_);
    textBlock->addWidget(message_);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(inset, inset, inset, inset);
    column->setSpacing(0);
    column->addLayout(textBlock);
    column->addStretch(1);
    column->addWidget(button_, 0, Qt::AlignHCenter);

    // Keyboard users land on the one thing to do.
    setFocusProxy(button_);
    connect(button_, &QAbstractButton::clicked, this, [this] {
        if (onQuit_) onQuit_();
    });
}
