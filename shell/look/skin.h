#pragma once

// The skin: flat drawing for the dialog controls of every window of the GUI
// thread. A skinned control keeps a record of its kind and of its state,
// which follows enabling, focus, presses, check state, read-only changes and
// the mouse coming and going; the control is redrawn after each change and
// drawn from that record. Group boxes, tool buttons and every other kind of
// widget keep their own drawing.

#include <QWidget>

#include <optional>

namespace tarvelin::shell {

enum class SkinKind : int {
    PushButton = 0, // also a checkable (push-like) push button
    CheckBox = 1,
    RadioButton = 2,
    EditBox = 3,
    ComboBox = 4,
};

// The state bits of a skinned control.
enum SkinState : unsigned {
    kSkinDisabled = 1,
    kSkinPressed = 2,
    kSkinHover = 4,
    kSkinFocused = 8,
    kSkinDefault = 16,
    kSkinMarked = 32,        // check box, radio button or push-like button set
    kSkinIndeterminate = 64, // three-state check box neither set nor clear
    kSkinReadOnly = 128,
};

struct SkinRecord {
    SkinKind kind = SkinKind::PushButton;
    unsigned state = 0;
};

// The kind a widget is skinned as; nothing for widgets the skin leaves
// alone (and for the edit box inside a combo or spin box, which its owner
// draws).
std::optional<SkinKind> SkinKindOf(const QWidget& widget);

// On: skins every existing widget of a skinnable kind, and from then on
// each new one before it first shows. Off: every skinned widget goes back to
// its own drawing. Switching on twice changes nothing.
void SkinThread(bool on);
bool SkinThreadOn();

// Skins or unskins one widget (not its children); widgets of other kinds,
// and widgets already in the asked state, are left as they are.
void SkinWindow(QWidget* widget, bool on);

// The record of a skinned widget; nothing when it is not skinned.
std::optional<SkinRecord> FindSkinRecord(const QWidget* widget);

// How many widgets are skinned.
int SkinnedCount();

} // namespace tarvelin::shell
