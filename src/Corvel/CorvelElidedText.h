#pragma once

#include <QStringList>
#include <QWidget>

// Wrapped text that shows at most a given number of lines; when there is more,
// the last shown line ends with an ellipsis. Its height follows its width.
class CorvelElidedText : public QWidget {
    Q_OBJECT
  public:
    explicit CorvelElidedText(int maxLines, QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return text_; }

    // The lines drawn at the current width, as shown.
    QStringList visibleLines() const { return linesFor(width()); }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QStringList linesFor(int width) const;

    int maxLines_;
    QString text_;
};
