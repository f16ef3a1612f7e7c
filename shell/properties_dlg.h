#pragma once

// CPropertiesDlg: the opened image's volume label, publisher, preparer and
// application identifier, and its creation and modification dates, shown
// and edited. A date the image leaves unspecified shows "not specified".

#include "iso/iso9660.h"

#include <QDialog>

class QDateTimeEdit;
class QLineEdit;

namespace tarvelin::shell {

class CPropertiesDlg final : public QDialog {
public:
    explicit CPropertiesDlg(const iso::VolumeProperties& properties, QWidget* parent = nullptr);

    // What the fields hold now.
    iso::VolumeProperties Properties() const;

    QLineEdit* VolumeLabelEdit() const { return fields_[0]; }
    QLineEdit* PublisherEdit() const { return fields_[1]; }
    QLineEdit* PreparerEdit() const { return fields_[2]; }
    QLineEdit* ApplicationEdit() const { return fields_[3]; }
    QDateTimeEdit* CreatedEdit() const { return created_; }
    QDateTimeEdit* ModifiedEdit() const { return modified_; }

private:
    QLineEdit* fields_[4] = {};
    QDateTimeEdit* created_ = nullptr;
    QDateTimeEdit* modified_ = nullptr;
};

} // namespace tarvelin::shell
