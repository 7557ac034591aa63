#include "Corvel/CorvelAccessibility.h"

#include "Corvel/CorvelCarousel.h"
#include "Corvel/CorvelElidedText.h"

#include <QAccessibleWidget>

namespace {

// The whole message, not the lines that fit: a screen reader reads it all.
class ElidedTextAccessible : public QAccessibleWidget {
  public:
    explicit ElidedTextAccessible(CorvelElidedText* text)
        : QAccessibleWidget(text, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return static_cast<CorvelElidedText*>(widget())->text();
        return QAccessibleWidget::text(t);
    }
};

class DotAccessible : public QAccessibleWidget {
  public:
    explicit DotAccessible(CorvelCarouselDot* dot) : QAccessibleWidget(dot, QAccessible::PageTab) {}
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.selectable = true;
        s.selected = static_cast<CorvelCarouselDot*>(widget())->isCurrent();
        return s;
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (className == QLatin1String("CorvelElidedText"))
        return new ElidedTextAccessible(static_cast<CorvelElidedText*>(object));
    if (className == QLatin1String("CorvelCarouselDot"))
        return new DotAccessible(static_cast<CorvelCarouselDot*>(object));
    if (className == QLatin1String("CorvelCarousel"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::PageTabList);
    return nullptr;
}

} // namespace

void installCorvelAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}
