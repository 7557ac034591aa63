#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRectF>

#include <functional>
#include <memory>

class QObject;
class QPainter;

// One slide of the carousel: SVG art (rendered at the device's pixel density,
// so it stays sharp on HiDPI screens) or a raster image.
class CarouselImage {
  public:
    // SVG when the bytes parse as SVG, otherwise any image format Qt reads;
    // a null image when neither works.
    static CarouselImage fromData(const QByteArray& data);
    static CarouselImage fromImage(const QImage& image);

    bool isNull() const;

    // The image scaled to cover `deviceSize` pixels with its aspect ratio
    // kept and what sticks out cropped. Safe on any thread.
    QImage renderCover(const QSize& deviceSize) const;

    // Paints the rendering for `target` at the painter's pixel density when
    // it is ready and returns true. Otherwise paints an earlier rendering
    // stretched, if there is one, returns false and has the right one made
    // on a worker thread, so a slide never holds up the GUI thread; `ready`
    // then runs on `context`'s thread, unless `context` is gone by then.
    bool paintCover(QPainter& painter, const QRectF& target, QObject* context,
                    const std::function<void()>& ready) const;

    bool hasRendering(const QSizeF& target, qreal dpr) const;

    // Has the rendering for `target` at `dpr` made in the background.
    void prepare(const QSizeF& target, qreal dpr, QObject* context,
                 const std::function<void()>& ready) const;

  private:
    struct Data;
    std::shared_ptr<Data> d_;
};

// SVG art with the words it is drawn with put in the language in use.
QByteArray translatedSlideArt(QByteArray svg);

// The application's "carousel_1", "carousel_2", ... resources, read once per
// process and language: the list ends before the first missing name and holds
// at most 64.
const QList<CarouselImage>& bundledCarouselImages();

// The same rule over any resource folder (for tests): `prefix` + k for k = 1..64,
// SVG art translated.
QList<CarouselImage> loadCarouselImages(const QString& prefix);
