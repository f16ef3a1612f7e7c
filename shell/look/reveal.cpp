#include "look/reveal.h"

#include <QPaintEngine>
#include <QPainter>

namespace tarvelin::shell {

int RevealStripCount(int height)
{
    return height <= 0 ? 0 : (height + kRevealStripHeight - 1) / kRevealStripHeight;
}

std::vector<int> RevealOrder(int count, const std::function<int(int)>& pick)
{
    std::vector<int> order;
    if (count <= 0) {
        return order;
    }
    order.reserve(static_cast<std::size_t>(count));
    std::vector<bool> drawn(static_cast<std::size_t>(count), false);
    for (int step = 0; step < count; ++step) {
        int strip = pick(count) % count;
        if (strip < 0) {
            strip += count;
        }
        while (drawn[static_cast<std::size_t>(strip)]) {
            strip = (strip + 1) % count;
        }
        drawn[static_cast<std::size_t>(strip)] = true;
        order.push_back(strip);
    }
    return order;
}

int RevealOpacity(int index)
{
    return (2 * index + 15) % 256;
}

void DrawRevealStrip(QImage& canvas, const QImage& screen, int index, bool blend)
{
    const QRect strip = QRect(0, index * kRevealStripHeight, canvas.width(), kRevealStripHeight) & canvas.rect();
    if (strip.isEmpty()) {
        return;
    }
    QPainter painter(&canvas);
    if (blend && painter.paintEngine()->hasFeature(QPaintEngine::ConstantOpacity)) {
        painter.setOpacity(RevealOpacity(index) / 255.0);
    } else {
        painter.setCompositionMode(QPainter::RasterOp_SourceAndDestination);
    }
    painter.drawImage(strip, screen, strip);
}

} // namespace tarvelin::shell
