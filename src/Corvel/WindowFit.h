#pragma once

#include <QRectF>
#include <QSizeF>

#include <optional>

// Sizing rules of the setup window, free of any window so they can be tested
// directly. Sizes are the window's client area.
namespace WindowFit {

// Sizes closer than this to a requested minimum count as reaching it.
inline constexpr double tolerance = 0.5;

// The root view's minimum content size.
inline constexpr QSizeF minimumContent{680, 400};

// A window that falls short of `requested` grows to at least that size around
// its old centre; nullopt when it is already large enough.
std::optional<QRectF> growToMinimum(const QRectF& frame, const QSizeF& requested);

// First show: the target is `requested` clipped to the screen's available
// area (unclipped without a screen). A window smaller than the target grows to
// it and is centred on the screen; nullopt leaves size and position alone.
std::optional<QRectF> firstShow(const QRectF& frame, const QSizeF& requested,
                                const std::optional<QRectF>& screenAvailable);

} // namespace WindowFit
