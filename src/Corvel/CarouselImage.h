#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRectF>

#include <memory>

class QPainter;
class QSvgRenderer;

// One slide of the carousel: SVG art (rendered at the device's pixel density,
// so it stays sharp on HiDPI screens) or a raster image.
class CarouselImage {
  public:
    // SVG when the bytes parse as SVG, otherwise any image format Qt reads;
    // a null image when neither works.
    static CarouselImage fromData(const QByteArray& data);
    static CarouselImage fromImage(const QImage& image);

    bool isNull() const;

    // Paints the image scaled to cover `target` with its aspect ratio kept;
    // what sticks out is cropped, so nothing lands outside `target`.
    void paintCover(QPainter& painter, const QRectF& target) const;

  private:
    struct Data;
    std::shared_ptr<Data> d_;
};

// The application's "carousel_1", "carousel_2", ... resources, read once per
// process: the list ends before the first missing name and holds at most 64.
const QList<CarouselImage>& bundledCarouselImages();

// The same rule over any resource folder (for tests): `prefix` + k for k = 1..64.
QList<CarouselImage> loadCarouselImages(const QString& prefix);
