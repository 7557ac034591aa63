#pragma once

#include <QAbstractButton>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

class CorvelElidedText;
class QLabel;

// A rounded button that draws only its own shape (no platform style).
class CorvelPillButton : public QAbstractButton {
    Q_OBJECT
  public:
    explicit CorvelPillButton(const QString& text, QWidget* parent = nullptr);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// What the window shows when the run has failed: an icon, a title, the message
// and one button that quits.
class CorvelFailureView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int maxMessageLines = 6;
    static constexpr int inset = 24;
    static constexpr int buttonWidth = 160;

    // `onRetry` is kept for the shell; no control here calls it.
    CorvelFailureView(const QString& message, std::function<void()> onRetry,
                      std::function<void()> onQuit, QWidget* parent = nullptr);

    QLabel* titleLabel() const { return title_; }
    CorvelElidedText* messageText() const { return message_; }
    CorvelPillButton* button() const { return button_; }

  private:
    std::function<void()> onRetry_;
    std::function<void()> onQuit_;
    QLabel* title_;
    CorvelElidedText* message_;
    CorvelPillButton* button_;
};
