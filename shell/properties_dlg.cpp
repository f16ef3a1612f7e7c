#include "properties_dlg.h"

#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>

namespace tarvelin::shell {

namespace {

// File times count 100 ns from 1601-01-01; Qt counts milliseconds from 1970.
constexpr std::int64_t kFileTimeAt1970 = 116444736000000000;
constexpr std::int64_t kFileTimeUnitsPerMs = 10000;

// The earliest date the fields offer stands for "not specified".
QDateTime NotSpecified()
{
    return QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC);
}

QDateTime DateOf(const std::optional<platform::FileTime>& time)
{
    if (!time) {
        return NotSpecified();
    }
    const auto ms = (static_cast<std::int64_t>(*time) - kFileTimeAt1970) / kFileTimeUnitsPerMs;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toLocalTime();
}

std::optional<platform::FileTime> TimeOf(const QDateTime& date)
{
    if (date <= NotSpecified()) {
        return std::nullopt;
    }
    return static_cast<platform::FileTime>(date.toMSecsSinceEpoch() * kFileTimeUnitsPerMs + kFileTimeAt1970);
}

QDateTimeEdit* DateEdit(const std::optional<platform::FileTime>& time, QWidget* parent)
{
    auto* edit = new QDateTimeEdit(parent);
    edit->setMinimumDateTime(NotSpecified().toLocalTime());
    edit->setSpecialValueText(QStringLiteral("not specified"));
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    edit->setCalendarPopup(true);
    edit->setDateTime(DateOf(time));
    return edit;
}

} // namespace

CPropertiesDlg::CPropertiesDlg(const iso::VolumeProperties& properties, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("PropertiesDlg"));
    setWindowTitle(QStringLiteral("Properties"));
    auto* form = new QFormLayout(this);
    const struct {
        const char* label;
        const std::string& text;
        int width;
    } texts[]{
        {"Volume label:", properties.volumeIdentifier, 32},
        {"Publisher:", properties.publisherIdentifier, 128},
        {"Preparer:", properties.dataPreparerIdentifier, 128},
        {"Application:", properties.applicationIdentifier, 128},
    };
    int index = 0;
    for (const auto& text : texts) {
        auto* edit = new QLineEdit(QString::fromStdString(text.text), this);
        // The field's width in bytes; a Joliet copy holds half as many
        // characters and is cut at whole characters.
        edit->setMaxLength(text.width);
        // Long texts show their start.
        edit->setCursorPosition(0);
        edit->setMinimumWidth(260);
        form->addRow(QString::fromLatin1(text.label), edit);
        fields_[index++] = edit;
    }
    created_ = DateEdit(properties.creationDate, this);
    modified_ = DateEdit(properties.modificationDate, this);
    form->addRow(QStringLiteral("Created:"), created_);
    form->addRow(QStringLiteral("Modified:"), modified_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

iso::VolumeProperties CPropertiesDlg::Properties() const
{
    iso::VolumeProperties properties;
    properties.volumeIdentifier = fields_[0]->text().toStdString();
    properties.publisherIdentifier = fields_[1]->text().toStdString();
    properties.dataPreparerIdentifier = fields_[2]->text().toStdString();
    properties.applicationIdentifier = fields_[3]->text().toStdString();
    properties.creationDate = TimeOf(created_->dateTime());
    properties.modificationDate = TimeOf(modified_->dateTime());
    return properties;
}

} // namespace tarvelin::shell
