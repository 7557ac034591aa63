#include "Corvel/CarouselImage.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

struct CarouselImage::Data {
    std::unique_ptr<QSvgRenderer> svg;
    QImage raster;
    QSizeF natural;
    // The last rendering, reused while the size and pixel density stay; the
    // carousel repaints often while it animates and SVG rendering is not free.
    QImage cached; // an image, not a pixmap: it may outlive the application object
    QSize cachedDeviceSize;
};

CarouselImage CarouselImage::fromData(const QByteArray& data) {
    CarouselImage image;
    auto d = std::make_shared<Data>();
    if (data.contains("<svg")) {
        d->svg = std::make_unique<QSvgRenderer>(data);
        if (d->svg->isValid() && !d->svg->defaultSize().isEmpty()) {
            d->natural = d->svg->viewBoxF().size();
            if (d->natural.isEmpty()) d->natural = d->svg->defaultSize();
            image.d_ = std::move(d);
            return image;
        }
        d->svg.reset();
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

void CarouselImage::paintCover(QPainter& painter, const QRectF& target) const {
    if (!d_ || target.isEmpty()) return;
    const qreal dpr = painter.device()->devicePixelRatioF();
    const QSize deviceSize(int(std::ceil(target.width() * dpr)),
                           int(std::ceil(target.height() * dpr)));
    if (d_->cached.isNull() || d_->cachedDeviceSize != deviceSize) {
        const qreal scale = std::max(deviceSize.width() / d_->natural.width(),
                                     deviceSize.height() / d_->natural.height());
        const QSizeF drawn = d_->natural * scale;
        const QRectF source((deviceSize.width() - drawn.width()) / 2,
                            (deviceSize.height() - drawn.height()) / 2, drawn.width(),
                            drawn.height());
        QImage rendered(deviceSize, QImage::Format_ARGB32_Premultiplied);
        rendered.fill(Qt::transparent);
        {
            QPainter p(&rendered);
            p.setRenderHint(QPainter::Antialiasing);
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            if (d_->svg)
                d_->svg->render(&p, source);
            else
                p.drawImage(source, d_->raster);
        }
        rendered.setDevicePixelRatio(dpr);
        d_->cached = rendered;
        d_->cachedDeviceSize = deviceSize;
    }
    painter.drawImage(target.topLeft(), d_->cached);
}

QList<CarouselImage> loadCarouselImages(const QString& prefix) {
    QList<CarouselImage> images;
    for (int k = 1; k <= 64; ++k) {
        QFile file(prefix + QString::number(k));
        if (!file.open(QIODevice::ReadOnly)) break;
        CarouselImage image = CarouselImage::fromData(file.readAll());
        if (image.isNull()) break;
        images.append(image);
    }
    return images;
}

const QList<CarouselImage>& bundledCarouselImages() {
    static const QList<CarouselImage> images =
        loadCarouselImages(QStringLiteral(":/images/carousel_"));
    return images;
}
