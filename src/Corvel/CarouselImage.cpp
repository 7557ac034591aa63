#include "Corvel/CarouselImage.h"

#include <QCoreApplication>
#include <QFile>
#include <QObject>
#include <QPainter>
#include <QPointer>
#include <QSvgRenderer>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

namespace {
struct Waiter {
    QPointer<QObject> context;
    std::function<void()> ready;
};
} // namespace

struct CarouselImage::Data {
    // Immutable after loading, so workers read them without a lock.
    QByteArray svg;
    QImage raster;
    QSizeF natural;
    // GUI thread only. The last rendering, reused while size and pixel density
    // stay; an image, not a pixmap, as it may outlive the application object.
    QImage cached;
    QSize pendingSize;           // the size a worker is rendering, if any
    std::vector<Waiter> waiting; // told when a rendering arrives
    // Raised by every request; a worker whose request is no longer the latest
    // skips it, so resizing the window does not queue up stale renderings.
    std::atomic<unsigned> latestRequest{0};
};

namespace {
// One worker for all slides, so rendering never takes more than one core from
// the run and the window; slides are asked for in the order they are needed.
QThreadPool& slidePool() {
    static QThreadPool* pool = [] {
        // Owned by the application object, whose destruction waits for it.
        auto* created = new QThreadPool(QCoreApplication::instance());
        created->setMaxThreadCount(1);
        return created;
    }();
    return *pool;
}

QSize deviceSizeOf(const QSizeF& target, qreal dpr) {
    return {int(std::ceil(target.width() * dpr)), int(std::ceil(target.height() * dpr))};
}
} // namespace

CarouselImage CarouselImage::fromData(const QByteArray& data) {
    CarouselImage image;
    auto d = std::make_shared<Data>();
    if (data.contains("<svg")) {
        QSvgRenderer renderer(data);
        if (renderer.isValid() && !renderer.defaultSize().isEmpty()) {
            d->svg = data;
            d->natural = renderer.viewBoxF().size();
            if (d->natural.isEmpty()) d->natural = renderer.defaultSize();
            image.d_ = std::move(d);
            return image;
        }
    }
    d->raster = QImage::fromData(data);
    if (d->raster.isNull()) return image;
    d->natural = d->raster.size();
    image.d_ = std::move(d);
    return image;
}

CarouselImage CarouselImage::fromImage(const QImage& raster) {
    CarouselImage image;
    if (raster.isNull()) return image;
    image.d_ = std::make_shared<Data>();
    image.d_->raster = raster;
    image.d_->natural = raster.size();
    return image;
}

bool CarouselImage::isNull() const {
    return !d_;
}

QImage CarouselImage::renderCover(const QSize& deviceSize) const {
    QImage rendered(deviceSize, QImage::Format_ARGB32_Premultiplied);
    rendered.fill(Qt::transparent);
    if (!d_ || deviceSize.isEmpty()) return rendered;
    const qreal scale = std::max(deviceSize.width() / d_->natural.width(),
                                 deviceSize.height() / d_->natural.height());
    const QSizeF drawn = d_->natural * scale;
    const QRectF source((deviceSize.width() - drawn.width()) / 2,
                        (deviceSize.height() - drawn.height()) / 2, drawn.width(), drawn.height());
    QPainter painter(&rendered);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!d_->svg.isEmpty()) {
        // A renderer per call: one renderer is not to be shared between threads.
        QSvgRenderer renderer(d_->svg);
        renderer.render(&painter, source);
    } else {
        painter.drawImage(source, d_->raster);
    }
    return rendered;
}

bool CarouselImage::hasRendering(const QSizeF& target, qreal dpr) const {
    return d_ && d_->cached.size() == deviceSizeOf(target, dpr) &&
           d_->cached.devicePixelRatio() == dpr;
}

void CarouselImage::prepare(const QSizeF& target, qreal dpr, QObject* context,
                            const std::function<void()>& ready) const {
    const QSize deviceSize = deviceSizeOf(target, dpr);
    if (!d_ || deviceSize.isEmpty()) return;
    if (hasRendering(target, dpr)) return;
    auto same = [context](const Waiter& w) { return w.context == context; };
    d_->waiting.erase(std::remove_if(d_->waiting.begin(), d_->waiting.end(), same),
                      d_->waiting.end());
    d_->waiting.push_back({context, ready});
    if (d_->pendingSize == deviceSize) return; // already on its way
    d_->pendingSize = deviceSize;
    const unsigned request = ++d_->latestRequest;
    slidePool().start([image = *this, deviceSize, dpr, request] {
        if (image.d_->latestRequest.load() != request) return;
        QImage rendered = image.renderCover(deviceSize);
        rendered.setDevicePixelRatio(dpr);
        // The application object outlives the pool's worker: it owns the
        // pool, whose destruction waits for the worker.
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) return;
        QMetaObject::invokeMethod(
            app,
            [image, rendered = std::move(rendered), deviceSize] {
                Data& d = *image.d_;
                if (d.pendingSize == deviceSize) d.pendingSize = QSize();
                d.cached = rendered;
                const std::vector<Waiter> waiting = std::exchange(d.waiting, {});
                for (const Waiter& w : waiting)
                    if (w.context && w.ready) w.ready();
            },
            Qt::QueuedConnection);
    });
}

bool CarouselImage::paintCover(QPainter& painter, const QRectF& target, QObject* context,
                               const std::function<void()>& ready) const {
    if (!d_ || target.isEmpty()) return false;
    const qreal dpr = painter.device()->devicePixelRatioF();
    if (!hasRendering(target.size(), dpr)) {
        // An earlier size stretched stands in, so a resize does not flash
        // the background.
        if (!d_->cached.isNull()) painter.drawImage(target, d_->cached);
        prepare(target.size(), dpr, context, ready);
        return false;
    }
    painter.drawImage(target.topLeft(), d_->cached);
    return true;
}

namespace {
// The words the slides' art is drawn with, written in English in the art.
const char* const slideWords[] = {
    QT_TRANSLATE_NOOP("CorvelCarousel", "Welcome to Corvel"),
    QT_TRANSLATE_NOOP("CorvelCarousel", "Getting everything ready for you."),
    QT_TRANSLATE_NOOP("CorvelCarousel", "Models run locally"),
    QT_TRANSLATE_NOOP("CorvelCarousel", "Fast, private, and ready even offline."),
    QT_TRANSLATE_NOOP("CorvelCarousel", "Private by design"),
    QT_TRANSLATE_NOOP("CorvelCarousel", "Your data stays on this computer."),
};
} // namespace

QByteArray translatedSlideArt(QByteArray svg) {
    for (const char* words : slideWords) {
        const QString translated = QCoreApplication::translate("CorvelCarousel", words);
        if (translated != QLatin1String(words))
            svg.replace(">" + QByteArray(words) + "<",
                        ">" + translated.toHtmlEscaped().toUtf8() + "<");
    }
    return svg;
}

QList<CarouselImage> loadCarouselImages(const QString& prefix) {
    QList<CarouselImage> images;
    for (int k = 1; k <= 64; ++k) {
        QFile file(prefix + QString::number(k));
        if (!file.open(QIODevice::ReadOnly)) break;
        CarouselImage image = CarouselImage::fromData(translatedSlideArt(file.readAll()));
        if (image.isNull()) break;
        images.append(image);
    }
    return images;
}

const QList<CarouselImage>& bundledCarouselImages() {
    // Once for each language the words are drawn in (GUI thread only).
    static std::map<QString, QList<CarouselImage>> byLanguage;
    const QString key = QCoreApplication::translate("CorvelCarousel", slideWords[0]);
    auto found = byLanguage.find(key);
    if (found == byLanguage.end())
        found =
            byLanguage.emplace(key, loadCarouselImages(QStringLiteral(":/images/carousel_"))).first;
    return found->second;
}
