#include "look/skin.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleFactory>
#include <QStyleOption>

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace tarvelin::shell {

namespace {

class Skin;

// ---- Drawing ---------------------------------------------------------------
// Flat shapes in the colours of the widget's own palette, so a light or dark
// desktop palette carries over; a focused control has a wider border in the
// highlight colour, the mouse tints it towards the highlight, a press deepens
// the tint. Sizes are in device-independent pixels.

QColor Mix(const QColor& from, const QColor& to, qreal amount)
{
    const auto mix = [amount](qreal a, qreal b) { return a + (b - a) * amount; };
    return QColor::fromRgbF(static_cast<float>(mix(from.redF(), to.redF())),
                            static_cast<float>(mix(from.greenF(), to.greenF())),
                            static_cast<float>(mix(from.blueF(), to.blueF())));
}

bool Has(unsigned state, unsigned bits)
{
    return (state & bits) != 0;
}

struct Tones {
    QColor highlight;
    QColor line;  // an ordinary border
    QColor faint; // the border of a disabled control
    QColor window;
};

Tones TonesOf(const QPalette& palette)
{
    const QColor window = palette.color(QPalette::Active, QPalette::Window);
    const QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    return {palette.color(QPalette::Active, QPalette::Highlight), Mix(window, text, 0.35), Mix(window, text, 0.15),
            window};
}

void DrawBox(QPainter* painter, const QRectF& area, const QColor& fill, const QColor& border, qreal width,
             qreal radius, bool round = false)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const qreal half = width / 2;
    const QRectF box = area.adjusted(half, half, -half, -half);
    painter->setPen(QPen(border, width));
    painter->setBrush(fill);
    if (round) {
        painter->drawEllipse(box);
    } else {
        painter->drawRoundedRect(box, radius, radius);
    }
    painter->restore();
}

// Fill and border of a push button or a drop-down list.
void DrawButtonFace(QPainter* painter, const QRect& area, const QPalette& palette, unsigned state)
{
    const Tones tones = TonesOf(palette);
    const QColor button = palette.color(QPalette::Active, QPalette::Button);
    QColor fill = button;
    QColor border = tones.line;
    qreal width = 1;
    if (Has(state, kSkinDisabled)) {
        fill = Mix(button, tones.window, 0.6);
        border = tones.faint;
        if (Has(state, kSkinMarked)) {
            fill = Mix(fill, tones.highlight, 0.12);
        }
    } else {
        if (Has(state, kSkinMarked)) {
            fill = Mix(button, tones.highlight, 0.25);
            border = Mix(tones.line, tones.highlight, 0.7);
        }
        if (Has(state, kSkinHover)) {
            fill = Mix(fill, tones.highlight, 0.12);
            border = Mix(border, tones.highlight, 0.5);
        }
        if (Has(state, kSkinPressed)) {
            fill = Mix(button, tones.highlight, 0.35);
            border = tones.highlight;
        }
        if (Has(state, kSkinDefault)) {
            border = tones.highlight;
        }
        if (Has(state, kSkinFocused)) {
            border = tones.highlight;
            width = 2;
        }
    }
    DrawBox(painter, area, fill, border, width, 3);
}

// The field of an edit box or of an editable drop-down list.
void DrawField(QPainter* painter, const QRect& area, const QPalette& palette, unsigned state, bool framed)
{
    const Tones tones = TonesOf(palette);
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    QColor fill = base;
    QColor border = tones.line;
    qreal width = 1;
    if (Has(state, kSkinDisabled)) {
        fill = Mix(base, tones.window, 0.7);
        border = tones.faint;
    } else {
        if (Has(state, kSkinReadOnly)) {
            fill = Mix(base, tones.window, 0.5);
        }
        if (Has(state, kSkinHover)) {
            border = Mix(border, tones.highlight, 0.5);
        }
        if (Has(state, kSkinFocused)) {
            border = tones.highlight;
            width = 2;
        }
    }
    if (!framed) {
        painter->fillRect(area, fill);
        return;
    }
    DrawBox(painter, area, fill, border, width, 3);
}

// The box of a check box or the circle of a radio button, with its mark.
void DrawIndicator(QPainter* painter, const QRect& area, const QPalette& palette, unsigned state, bool radio)
{
    const Tones tones = TonesOf(palette);
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const bool set = Has(state, kSkinMarked | kSkinIndeterminate);
    const qreal side = std::min(area.width(), area.height());
    const QRectF box(area.x() + (area.width() - side) / 2.0, area.y() + (area.height() - side) / 2.0, side, side);
    QColor fill = set ? tones.highlight : base;
    QColor border = set ? tones.highlight : tones.line;
    QColor mark = palette.color(QPalette::Active, QPalette::HighlightedText);
    qreal width = 1;
    if (Has(state, kSkinDisabled)) {
        fill = set ? Mix(tones.highlight, tones.window, 0.65) : Mix(base, tones.window, 0.6);
        border = set ? fill : tones.faint;
        mark = Mix(mark, tones.window, 0.3);
    } else {
        if (Has(state, kSkinHover)) {
            fill = set ? tones.highlight.lighter(112) : Mix(base, tones.highlight, 0.08);
            border = set ? border : Mix(tones.line, tones.highlight, 0.6);
        }
        if (Has(state, kSkinPressed)) {
            fill = Mix(fill, set ? tones.line : tones.highlight, 0.3);
        }
        if (Has(state, kSkinFocused)) {
            border = set ? Mix(tones.highlight, palette.color(QPalette::Active, QPalette::WindowText), 0.35)
                         : tones.highlight;
            width = 2;
        }
    }
    DrawBox(painter, box, fill, border, width, side / 5, radio);
    if (!set) {
        return;
    }
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const auto at = [&box](qreal x, qreal y) { return QPointF(box.x() + x * box.width(), box.y() + y * box.height()); };
    if (radio) {
        painter->setPen(Qt::NoPen);
        painter->setBrush(mark);
        painter->drawEllipse(box.center(), side * 0.2, side * 0.2);
    } else {
        painter->setPen(QPen(mark, std::max(1.5, side / 8), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        if (Has(state, kSkinIndeterminate)) {
            painter->drawLine(at(0.27, 0.5), at(0.73, 0.5));
        } else {
            QPainterPath tick(at(0.25, 0.52));
            tick.lineTo(at(0.43, 0.7));
            tick.lineTo(at(0.76, 0.31));
            painter->drawPath(tick);
        }
    }
    painter->restore();
}

void DrawChevron(QPainter* painter, const QRect& area, const QColor& colour)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const qreal half = std::min(area.width(), area.height()) / 5.0;
    const QPointF centre = QRectF(area).center();
    painter->setPen(QPen(colour, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath chevron(centre + QPointF(-half, -half / 2));
    chevron.lineTo(centre + QPointF(0, half / 2));
    chevron.lineTo(centre + QPointF(half, -half / 2));
    painter->drawPath(chevron);
    painter->restore();
}

// The style every skinned widget is given: the desktop's style, but with the
// skinned parts drawn from the widget's record.
class SkinStyle final : public QProxyStyle {
public:
    SkinStyle(const Skin& skin, QStyle* base) : QProxyStyle(base), skin_(skin) {}

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override;

private:
    const SkinRecord* Find(const QWidget* widget) const;

    const Skin& skin_;
};

// ---- Records ---------------------------------------------------------------

struct Entry {
    SkinRecord record;
    // The style the widget had set itself (null: the application's).
    QPointer<QStyle> ownStyle;
    std::vector<QMetaObject::Connection> connections;
};

// Owns the records and the style; watches each skinned widget for the
// events that change its state.
class Skin final : public QObject {
public:
    explicit Skin(QObject* parent);
    ~Skin() override;

    const SkinRecord* Find(const QWidget* widget) const
    {
        const auto found = entries_.find(widget);
        return found == entries_.end() ? nullptr : &found->second.record;
    }
    void Add(QWidget* widget, SkinKind kind);
    void Remove(QWidget* widget);
    int Count() const { return static_cast<int>(entries_.size()); }
    bool Empty() const { return entries_.empty(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Set(QWidget* widget, unsigned bits, bool on);
    void SyncCheck(QWidget* widget);

    SkinStyle* style_;
    std::unordered_map<const QObject*, Entry> entries_;
};

// Sees every widget of the application before it first shows, and skins it.
class SkinHook final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Polish && watched->isWidgetType()) {
            SkinWindow(static_cast<QWidget*>(watched), true);
        }
        return false;
    }
};

QPointer<Skin> theSkin;
QPointer<SkinHook> theHook;

Skin& SkinInstance()
{
    if (theSkin == nullptr) {
        theSkin = new Skin(QCoreApplication::instance());
    }
    return *theSkin;
}

unsigned InitialState(const QWidget& widget, SkinKind kind)
{
    unsigned state = 0;
    if (!widget.isEnabled()) {
        state |= kSkinDisabled;
    }
    if (widget.hasFocus()) {
        state |= kSkinFocused;
    }
    if (const auto* push = qobject_cast<const QPushButton*>(&widget); push != nullptr && push->isDefault()) {
        state |= kSkinDefault;
    }
    if (const auto* check = qobject_cast<const QCheckBox*>(&widget); check != nullptr) {
        const Qt::CheckState checkState = check->checkState();
        state |= checkState == Qt::Checked ? kSkinMarked : checkState == Qt::PartiallyChecked ? kSkinIndeterminate : 0U;
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(&widget);
               button != nullptr && button->isCheckable() && button->isChecked()) {
        state |= kSkinMarked;
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(&widget);
        kind == SkinKind::EditBox && edit != nullptr && edit->isReadOnly()) {
        state |= kSkinReadOnly;
    }
    return state;
}

Skin::Skin(QObject* parent) : QObject(parent)
{
    // A copy of the application's style of its own, so the proxy can own it.
    QStyle* base = QStyleFactory::create(QApplication::style()->name());
    if (base == nullptr) {
        base = QStyleFactory::create(QStringLiteral("Fusion"));
    }
    style_ = new SkinStyle(*this, base);
    style_->setParent(this);
}

Skin::~Skin()
{
    std::vector<QWidget*> skinned;
    for (const auto& entry : entries_) {
        skinned.push_back(static_cast<QWidget*>(const_cast<QObject*>(entry.first)));
    }
    for (QWidget* widget : skinned) {
        Remove(widget);
    }
}

void Skin::Add(QWidget* widget, SkinKind kind)
{
    if (entries_.contains(widget)) {
        return;
    }
    Entry& entry = entries_[widget];
    entry.record = {kind, InitialState(*widget, kind)};
    if (widget->testAttribute(Qt::WA_SetStyle)) {
        entry.ownStyle = widget->style();
    }
    entry.connections.push_back(
        connect(widget, &QObject::destroyed, this, [this](QObject* gone) { entries_.erase(gone); }));
    if (auto* check = qobject_cast<QCheckBox*>(widget); check != nullptr) {
        entry.connections.push_back(connect(check, &QCheckBox::stateChanged, this, [this, widget] { SyncCheck(widget); }));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget); button != nullptr) {
        entry.connections.push_back(connect(button, &QAbstractButton::toggled, this, [this, widget] { SyncCheck(widget); }));
    }
    widget->installEventFilter(this);
    widget->setStyle(style_);
    widget->update();
}

void Skin::Remove(QWidget* widget)
{
    const auto found = entries_.find(widget);
    if (found == entries_.end()) {
        return;
    }
    for (const QMetaObject::Connection& connection : found->second.connections) {
        disconnect(connection);
    }
    const QPointer<QStyle> ownStyle = found->second.ownStyle;
    entries_.erase(found);
    widget->removeEventFilter(this);
    if (widget->style() == style_) {
        widget->setStyle(ownStyle);
    }
    widget->update();
}

void Skin::Set(QWidget* widget, unsigned bits, bool on)
{
    const auto found = entries_.find(widget);
    if (found == entries_.end()) {
        return;
    }
    unsigned& state = found->second.record.state;
    const unsigned before = state;
    state = on ? state | bits : state & ~bits;
    if (state != before) {
        widget->update();
    }
}

void Skin::SyncCheck(QWidget* widget)
{
    if (const auto* check = qobject_cast<const QCheckBox*>(widget); check != nullptr) {
        Set(widget, kSkinMarked, check->checkState() == Qt::Checked);
        Set(widget, kSkinIndeterminate, check->checkState() == Qt::PartiallyChecked);
    } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget); button != nullptr) {
        Set(widget, kSkinMarked, button->isCheckable() && button->isChecked());
    }
}

bool Skin::eventFilter(QObject* watched, QEvent* event)
{
    const auto found = entries_.find(watched);
    if (found == entries_.end()) {
        return false;
    }
    auto* widget = static_cast<QWidget*>(watched);
    const SkinKind kind = found->second.record.kind;
    const bool button = kind == SkinKind::PushButton || kind == SkinKind::CheckBox || kind == SkinKind::RadioButton;
    const bool enabled = widget->isEnabled();
    switch (event->type()) {
    case QEvent::EnabledChange:
        Set(widget, kSkinDisabled, !enabled);
        if (!enabled) {
            Set(widget, kSkinHover | kSkinPressed, false);
        }
        break;
    case QEvent::FocusIn:
        Set(widget, kSkinFocused, true);
        break;
    case QEvent::FocusOut:
        Set(widget, kSkinFocused, false);
        if (kind == SkinKind::ComboBox) {
            Set(widget, kSkinPressed, false);
        }
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && enabled) {
            Set(widget, kSkinPressed, true);
        }
        break;
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            Set(widget, kSkinPressed, false);
        }
        break;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        // The space bar presses a button as the mouse does.
        if (const auto* key = static_cast<QKeyEvent*>(event);
            button && key->key() == Qt::Key_Space && !key->isAutoRepeat() && enabled) {
            Set(widget, kSkinPressed, event->type() == QEvent::KeyPress);
        }
        break;
    case QEvent::Enter:
    case QEvent::HoverEnter:
        if (enabled) {
            Set(widget, kSkinHover, true);
        }
        break;
    case QEvent::MouseMove:
    case QEvent::HoverMove: {
        const QPointF at = event->type() == QEvent::MouseMove ? static_cast<QMouseEvent*>(event)->position()
                                                               : static_cast<QHoverEvent*>(event)->position();
        if (enabled && widget->rect().contains(at.toPoint())) {
            Set(widget, kSkinHover, true);
        }
        break;
    }
    case QEvent::Leave:
    case QEvent::HoverLeave:
        Set(widget, kSkinHover, false);
        if (kind == SkinKind::ComboBox) {
            Set(widget, kSkinPressed, false);
        }
        break;
    case QEvent::ReadOnlyChange:
        if (const auto* edit = qobject_cast<const QLineEdit*>(widget); edit != nullptr) {
            Set(widget, kSkinReadOnly, edit->isReadOnly());
        }
        break;
    case QEvent::Paint:
        // A dialog moves the default from button to button as the focus
        // goes; the drawing follows. A drop-down list whose list has closed
        // is no longer pressed.
        if (const auto* push = qobject_cast<const QPushButton*>(widget); push != nullptr) {
            unsigned& state = found->second.record.state;
            state = push->isDefault() ? state | kSkinDefault : state & ~kSkinDefault;
        } else if (const auto* combo = qobject_cast<const QComboBox*>(widget);
                   combo != nullptr && (combo->view() == nullptr || !combo->view()->isVisible())) {
            found->second.record.state &= ~kSkinPressed;
        }
        break;
    default:
        break;
    }
    return false;
}

// ---- Drawing from the records -----------------------------------------------

const SkinRecord* SkinStyle::Find(const QWidget* widget) const
{
    return widget == nullptr ? nullptr : skin_.Find(widget);
}

void SkinStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                            const QWidget* widget) const
{
    const SkinRecord* record = Find(widget);
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (record != nullptr && record->kind == SkinKind::PushButton && button != nullptr &&
        (element == CE_PushButton || element == CE_PushButtonBevel)) {
        const bool flat = button->features.testFlag(QStyleOptionButton::Flat);
        if (!flat || Has(record->state, kSkinHover | kSkinPressed | kSkinMarked | kSkinFocused)) {
            DrawButtonFace(painter, button->rect, button->palette, record->state);
        }
        if (element == CE_PushButton) {
            QProxyStyle::drawControl(CE_PushButtonLabel, button, painter, widget);
        }
        return;
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

void SkinStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                              const QWidget* widget) const
{
    const SkinRecord* record = Find(widget);
    if (record == nullptr) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    switch (element) {
    case PE_IndicatorCheckBox:
    case PE_IndicatorRadioButton:
        if (record->kind == SkinKind::CheckBox || record->kind == SkinKind::RadioButton) {
            DrawIndicator(painter, option->rect, option->palette, record->state, element == PE_IndicatorRadioButton);
            return;
        }
        break;
    case PE_FrameFocusRect:
        // The indicator or the border shows the focus.
        return;
    case PE_PanelLineEdit:
        if (record->kind == SkinKind::EditBox) {
            const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
            DrawField(painter, option->rect, option->palette, record->state, frame == nullptr || frame->lineWidth > 0);
            return;
        }
        break;
    case PE_FrameLineEdit:
        if (record->kind == SkinKind::EditBox) {
            return;
        }
        break;
    default:
        break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void SkinStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                                   const QWidget* widget) const
{
    const SkinRecord* record = Find(widget);
    const auto* combo = qstyleoption_cast<const QStyleOptionComboBox*>(option);
    if (control != CC_ComboBox || record == nullptr || record->kind != SkinKind::ComboBox || combo == nullptr) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    if (combo->editable) {
        DrawField(painter, combo->rect, combo->palette, record->state, combo->frame);
    } else {
        DrawButtonFace(painter, combo->rect, combo->palette, record->state);
    }
    const QRect arrow = subControlRect(CC_ComboBox, combo, SC_ComboBoxArrow, widget);
    const QColor ink = combo->palette.color(Has(record->state, kSkinDisabled) ? QPalette::Disabled : QPalette::Active,
                                            QPalette::ButtonText);
    DrawChevron(painter, arrow, ink);
}

} // namespace

std::optional<SkinKind> SkinKindOf(const QWidget& widget)
{
    if (qobject_cast<const QCommandLinkButton*>(&widget) != nullptr) {
        return std::nullopt;
    }
    if (qobject_cast<const QPushButton*>(&widget) != nullptr) {
        return SkinKind::PushButton;
    }
    if (qobject_cast<const QCheckBox*>(&widget) != nullptr) {
        return SkinKind::CheckBox;
    }
    if (qobject_cast<const QRadioButton*>(&widget) != nullptr) {
        return SkinKind::RadioButton;
    }
    if (qobject_cast<const QLineEdit*>(&widget) != nullptr) {
        const QWidget* owner = widget.parentWidget();
        if (qobject_cast<const QComboBox*>(owner) != nullptr || qobject_cast<const QAbstractSpinBox*>(owner) != nullptr) {
            return std::nullopt;
        }
        return SkinKind::EditBox;
    }
    if (qobject_cast<const QComboBox*>(&widget) != nullptr) {
        return SkinKind::ComboBox;
    }
    return std::nullopt;
}

void SkinThread(bool on)
{
    if (on) {
        if (SkinThreadOn()) {
            return;
        }
        for (QWidget* widget : QApplication::allWidgets()) {
            SkinWindow(widget, true);
        }
        theHook = new SkinHook(QCoreApplication::instance());
        QCoreApplication::instance()->installEventFilter(theHook);
        return;
    }
    delete theHook.data();
    // Deleting the skin gives every widget it holds its own drawing back.
    delete theSkin.data();
}

bool SkinThreadOn()
{
    return theHook != nullptr;
}

void SkinWindow(QWidget* widget, bool on)
{
    if (widget == nullptr) {
        return;
    }
    if (!on) {
        if (theSkin != nullptr) {
            theSkin->Remove(widget);
        }
        return;
    }
    if (const std::optional<SkinKind> kind = SkinKindOf(*widget); kind.has_value()) {
        SkinInstance().Add(widget, *kind);
    }
}

std::optional<SkinRecord> FindSkinRecord(const QWidget* widget)
{
    if (theSkin == nullptr || widget == nullptr) {
        return std::nullopt;
    }
    const SkinRecord* record = theSkin->Find(widget);
    return record == nullptr ? std::nullopt : std::optional<SkinRecord>(*record);
}

int SkinnedCount()
{
    return theSkin == nullptr ? 0 : theSkin->Count();
}

} // namespace tarvelin::shell
