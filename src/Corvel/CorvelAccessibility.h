#pragma once

// How assistive technology sees the window's own drawn controls: the failure
// message as text, the carousel as a list of pages with one tab per dot.
// Controls built on Qt's own widgets need nothing here. Safe to call often;
// the first call installs it.
void installCorvelAccessibility();
