#include "Corvel/CorvelWindowChrome.h"

#include "Corvel/WindowFit.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWindow>

namespace {

QColor lightColor(CorvelTrafficButton::Kind kind) {
    switch (kind) {
    case CorvelTrafficButton::Kind::close:
        return QColor::fromRgbF(1.0f, 0.37f, 0.34f);
    case CorvelTrafficButton::Kind::minimize:
        return QColor::fromRgbF(1.0f, 0.74f, 0.18f);
    case CorvelTrafficButton::Kind::zoomDisabled:
        break;
    }
    return QColor::fromRgbF(0.82f, 0.82f, 0.82f);
}

QString accessibleLabel(CorvelTrafficButton::Kind kind) {
    switch (kind) {
    case CorvelTrafficButton::Kind::close:
        return CorvelTrafficButton::tr("Close");
    case CorvelTrafficButton::Kind::minimize:
        return CorvelTrafficButton::tr("Minimize");
    case CorvelTrafficButton::Kind::zoomDisabled:
        break;
    }
    return CorvelTrafficButton::tr("Zoom (unavailable)");
}

// Paints nothing but a hairline around the window and lets every click through.
class BorderOverlay : public QWidget {
  public:
    explicit BorderOverlay(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(QColor(0, 0, 0, 56));
        painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
};

// An invisible strip along an edge or a corner that resizes the window.
class ResizeGrip : public QWidget {
  public:
    ResizeGrip(Qt::Edges edges, QWidget* parent) : QWidget(parent), edges_(edges) {
        setAttribute(Qt::WA_NoSystemBackground);
        const bool horizontal = edges & (Qt::LeftEdge | Qt::RightEdge);
        const bool vertical = edges & (Qt::TopEdge | Qt::BottomEdge);
        if (horizontal && vertical) {
            const bool falling =
                edges == (Qt::TopEdge | Qt::LeftEdge) || edges == (Qt::BottomEdge | Qt::RightEdge);
            setCursor(falling ? Qt::SizeFDiagCursor : Qt::SizeBDiagCursor);
        } else {
            setCursor(horizontal ? Qt::SizeHorCursor : Qt::SizeVerCursor);
        }
    }
    Qt::Edges edges() const { return edges_; }

  protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && window()->windowHandle())
            window()->windowHandle()->startSystemResize(edges_);
    }

  private:
    Qt::Edges edges_;
};

} // namespace

CorvelTrafficButton::CorvelTrafficButton(Kind kind, QWidget* parent)
    : QAbstractButton(parent), kind_(kind) {
    setFixedSize(diameter, diameter);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleName(accessibleLabel(kind));
    setToolTip(accessibleLabel(kind));
    if (kind == Kind::zoomDisabled) setEnabled(false);
}

void CorvelTrafficButton::setHovering(bool hovering) {
    if (hovering_ == hovering) return;
    hovering_ = hovering;
    update();
}

void CorvelTrafficButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(lightColor(kind_));
    painter.drawEllipse(QRectF(0, 0, diameter, diameter));
    if (!showsGlyph()) return;
    QPen pen(QColor(0, 0, 0, 153), 1.4, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    const QPointF c(diameter / 2.0, diameter / 2.0);
    if (kind_ == Kind::close) {
        const double r = 2.4;
        painter.drawLine(c + QPointF(-r, -r), c + QPointF(r, r));
        painter.drawLine(c + QPointF(-r, r), c + QPointF(r, -r));
    } else {
        painter.drawLine(c + QPointF(-3, 0), c + QPointF(3, 0));
    }
}

CorvelTrafficLights::CorvelTrafficLights(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    using Kind = CorvelTrafficButton::Kind;
    int i = 0;
    for (Kind kind : {Kind::close, Kind::minimize, Kind::zoomDisabled}) {
        buttons_[i] = new CorvelTrafficButton(kind, this);
        row->addWidget(buttons_[i++]);
    }
    // The window the button sits in is the one the user pressed it in, so it
    // is the key window the action is meant for.
    connect(buttons_[0], &QAbstractButton::clicked, this, [this] { window()->close(); });
    connect(buttons_[1], &QAbstractButton::clicked, this, [this] { window()->showMinimized(); });
    setFixedSize(3 * CorvelTrafficButton::diameter + 2 * spacing, CorvelTrafficButton::diameter);
    // A press in a gap or on the disabled light must not start a window move.
    setAttribute(Qt::WA_NoMousePropagation);
}

CorvelTrafficButton* CorvelTrafficLights::button(CorvelTrafficButton::Kind kind) const {
    return buttons_[int(kind)];
}

void CorvelTrafficLights::setHovering(bool hovering) {
    hovering_ = hovering;
    for (CorvelTrafficButton* button : buttons_)
        button->setHovering(hovering);
}

void CorvelTrafficLights::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    setHovering(true);
}

void CorvelTrafficLights::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    setHovering(false);
}

CorvelTitleBar::CorvelTitleBar(QWidget* parent)
    : QWidget(parent), lights_(new CorvelTrafficLights) {
    setFixedHeight(barHeight);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(lightsInset, 0, 0, 0);
    row->setSpacing(16);
    row->addWidget(lights_, 0, Qt::AlignVCenter);
    row->addStretch(1);
}

void CorvelTitleBar::mousePressEvent(QMouseEvent* event) {
    // The lights take their own clicks; anything else on the bar moves the window.
    if (event->button() == Qt::LeftButton && window()->windowHandle()) {
        window()->windowHandle()->startSystemMove();
        return;
    }
    QWidget::mousePressEvent(event);
}

void CorvelTitleBar::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(tr("About Corvel"), this, &CorvelTitleBar::aboutRequested);
    menu.exec(event->globalPos());
}

CorvelWindowChrome::CorvelWindowChrome(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), titleBar_(new CorvelTitleBar) {
    setWindowTitle(QStringLiteral("Corvel"));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(titleBar_);

    const QSize minimum = WindowFit::minimumContent.toSize() + QSize(0, CorvelTitleBar::barHeight);
    setMinimumSize(minimum);
    resize(minimum);

    border_ = new BorderOverlay(this);
    for (Qt::Edges edges :
         {Qt::Edges(Qt::LeftEdge), Qt::Edges(Qt::RightEdge), Qt::Edges(Qt::TopEdge),
          Qt::Edges(Qt::BottomEdge), Qt::TopEdge | Qt::LeftEdge, Qt::TopEdge | Qt::RightEdge,
          Qt::BottomEdge | Qt::LeftEdge, Qt::BottomEdge | Qt::RightEdge})
        grips_.append(new ResizeGrip(edges, this));

    connect(titleBar_, &CorvelTitleBar::aboutRequested, this, &CorvelWindowChrome::aboutRequested);
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    help->setContext(Qt::WindowShortcut);
    connect(help, &QShortcut::activated, this, &CorvelWindowChrome::aboutRequested);
    placeOverlays();
}

void CorvelWindowChrome::setContent(QWidget* content) {
    static_cast<QVBoxLayout*>(layout())->addWidget(content, 1);
    requireContentSize(content->minimumSize().expandedTo(WindowFit::minimumContent.toSize()));
    placeOverlays();
}

void CorvelWindowChrome::requireContentSize(const QSize& content) {
    const QSize minimum = content + QSize(0, CorvelTitleBar::barHeight);
    // Grow around the old centre; the minimum alone would grow the window
    // from its top-left corner.
    const auto grown = WindowFit::growToMinimum(QRectF(geometry()), QSizeF(minimum));
    setMinimumSize(minimum);
    if (grown) setGeometry(grown->toRect());
}

void CorvelWindowChrome::placeOverlays() {
    const int t = gripThickness;
    const int w = width();
    const int h = height();
    for (QWidget* widget : grips_) {
        const Qt::Edges edges = static_cast<ResizeGrip*>(widget)->edges();
        const int x = edges & Qt::LeftEdge ? 0 : edges & Qt::RightEdge ? w - t : t;
        const int y = edges & Qt::TopEdge ? 0 : edges & Qt::BottomEdge ? h - t : t;
        const int gw = edges & (Qt::LeftEdge | Qt::RightEdge) ? t : w - 2 * t;
        const int gh = edges & (Qt::TopEdge | Qt::BottomEdge) ? t : h - 2 * t;
        widget->setGeometry(x, y, gw, gh);
        widget->raise();
    }
    border_->setGeometry(rect());
    border_->raise();
}

void CorvelWindowChrome::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeOverlays();
}

void CorvelWindowChrome::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownBefore_) return;
    shownBefore_ = true;
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    std::optional<QRectF> available;
    if (screen) available = QRectF(screen->availableGeometry());
    const QSizeF requested = QSizeF(minimumSize());
    if (auto target = WindowFit::firstShow(QRectF(geometry()), requested, available)) {
        setGeometry(target->toRect());
    } else if (available && !testAttribute(Qt::WA_Moved)) {
        // Nobody chose a place: open in the middle of the screen rather than
        // wherever the window system puts an unplaced window.
        QRect centred = geometry();
        centred.moveCenter(available->center().toPoint());
        move(centred.topLeft());
    }
}
