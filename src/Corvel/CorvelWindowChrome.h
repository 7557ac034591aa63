#pragma once

#include <QAbstractButton>
#include <QSize>
#include <QWidget>

class QMenu;

// One of the three round buttons at the left of the title bar.
class CorvelTrafficButton : public QAbstractButton {
    Q_OBJECT
  public:
    enum class Kind { close, minimize, zoomDisabled };
    static constexpr int diameter = 12;

    explicit CorvelTrafficButton(Kind kind, QWidget* parent = nullptr);
    Kind kind() const { return kind_; }
    void setHovering(bool hovering);
    bool showsGlyph() const { return hovering_ && kind_ != Kind::zoomDisabled; }
    QSize sizeHint() const override { return {diameter, diameter}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Kind kind_;
    bool hovering_ = false;
};

// The three buttons as one hover area: the pointer anywhere over the group,
// gaps included, shows the glyphs on close and minimize.
class CorvelTrafficLights : public QWidget {
    Q_OBJECT
  public:
    static constexpr int spacing = 8;

    explicit CorvelTrafficLights(QWidget* parent = nullptr);
    CorvelTrafficButton* button(CorvelTrafficButton::Kind kind) const;
    bool isHovering() const { return hovering_; }

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void setHovering(bool hovering);

    CorvelTrafficButton* buttons_[3];
    bool hovering_ = false;
};

// The white title bar: moves the window when dragged outside the lights and
// offers the About box from its context menu.
class CorvelTitleBar : public QWidget {
    Q_OBJECT
  public:
    static constexpr int barHeight = 36;
    static constexpr int lightsInset = 20;

    explicit CorvelTitleBar(QWidget* parent = nullptr);
    CorvelTrafficLights* lights() const { return lights_; }

  signals:
    void aboutRequested();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    CorvelTrafficLights* lights_;
};

// The frameless setup window: custom title bar above the content, resizable
// from its edges, a one-pixel border in place of the shadow that X11 does not
// draw for frameless windows, and the minimum and first-show sizes.
class CorvelWindowChrome : public QWidget {
    Q_OBJECT
  public:
    static constexpr int gripThickness = 5;

    explicit CorvelWindowChrome(QWidget* parent = nullptr);

    // Takes ownership; replaces no earlier content (call once). The window
    // keeps at least the content's minimum size below the title bar.
    void setContent(QWidget* content);
    CorvelTitleBar* titleBar() const { return titleBar_; }

    // The smallest area below the title bar; a smaller window grows to it
    // around its centre.
    void requireContentSize(const QSize& content);

  signals:
    void aboutRequested();

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void placeOverlays();

    CorvelTitleBar* titleBar_;
    QWidget* border_;
    QList<QWidget*> grips_;
    bool shownBefore_ = false;
};
