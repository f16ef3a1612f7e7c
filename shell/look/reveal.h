#pragma once

// The About dialog's reveal: the screen under the dialog comes back strip
// by strip, in random order, each strip blended over grey at its own
// opacity.

#include <QImage>

#include <functional>
#include <vector>

namespace tarvelin::shell {

inline constexpr int kRevealStripHeight = 3;

// How many strips an area of this height has (the last one may be shorter).
int RevealStripCount(int height);

// The order the strips are drawn in. pick(count) gives a random strip
// number below count; a strip already drawn gives way to the next one not
// yet drawn, wrapping around to the first.
std::vector<int> RevealOrder(int count, const std::function<int(int)>& pick);

// The constant opacity strip `index` is blended with: (2 x index + 15)
// modulo 256.
int RevealOpacity(int index);

// Draws strip `index` of `screen` onto `canvas` (both the same size, the
// canvas grey at first): blended at the strip's opacity, or, where the
// canvas cannot blend, combined with what is there by a bitwise AND.
void DrawRevealStrip(QImage& canvas, const QImage& screen, int index, bool blend);

} // namespace tarvelin::shell
