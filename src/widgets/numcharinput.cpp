#include "widgets/numcharinput.h"

#include "base/lanstr.h"

#include <QGridLayout>
#include <QPushButton>

NumCharInput* gpNumCharPad = nullptr;

namespace {

constexpr int kKeySize = 64;
constexpr int kColumns = 12;

// The character rows of the two pages, top to bottom; the digit row stays on both. Rows 2 and 3
// leave room for backspace (three cells) and shift (two cells). With the punctuation page and the
// digit row's "-" and "_", every printable ASCII character has a key.
const char* const kLetterRows[] = {"1234567890-_", "qwertyuiop@.", "asdfghjkl", "zxcvbnm,:/"};
const char* const kSymbolRows[] = {"1234567890-_", "!\"#$%&'()*+,", ".:;<=>?@/", "[\\]^`{|}~"};
const int kRowStart[] = {0, 0, 0, 2};
const int kRowKeys[] = {12, 12, 9, 10};

}  // namespace

NumCharInput::NumCharInput()
    : TouchKeypad(QStringLiteral("NumCharInput"),
                  QStringLiteral("QPushButton{font-size:28px;}QPushButton:checked{background-color:#ff9900;}"))
{
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setSpacing(6);
    const auto key = [this, grid](const QString& name, const QString& caption, int row, int column, int span) {
        QPushButton* button = keyButton(name, caption);
        button->setFixedSize(kKeySize * span + grid->spacing() * (span - 1), kKeySize);
        grid->addWidget(button, row, column, 1, span);
        return button;
    };
    for (int row = 0; row < 4; ++row) {
        for (int i = 0; i < kRowKeys[row]; ++i)
            m_charKeys << key(QString(), QString(), row, kRowStart[row] + i, 1);
    }
    key(QStringLiteral("back"), QStringLiteral("←"), 2, 9, 3);
    m_shiftKey = key(QStringLiteral("shift"), QStringLiteral("⇧"), 3, 0, 2);
    m_shiftKey->setCheckable(true);
    m_symbolKey = key(QStringLiteral("symbols"), QString(), 4, 0, 2);
    key(QStringLiteral("space"), QStringLiteral("␣"), 4, 2, 4);
    key(QStringLiteral("clear"), tr("清空"), 4, 6, 2);
    key(QStringLiteral("cancel"), tr("取消"), 4, 8, 2);
    key(QStringLiteral("ok"), lanText(121), 4, 10, 2);
    Q_ASSERT(grid->columnCount() == kColumns);
    relabel();
    adjustSize();
}

NumCharInput::~NumCharInput()
{
    if (gpNumCharPad == this)
        gpNumCharPad = nullptr;
}

NumCharInput* NumCharInput::shared()
{
    if (!gpNumCharPad)
        gpNumCharPad = new NumCharInput;
    return gpNumCharPad;
}

void NumCharInput::prepare(QLineEdit* target)
{
    m_original = target->text();
    m_shift = Shift::Off;
    m_symbols = false;
    relabel();
}

void NumCharInput::relabel()
{
    const char* const* rows = m_symbols ? kSymbolRows : kLetterRows;
    int index = 0;
    for (int row = 0; row < 4; ++row) {
        const QString characters = QString::fromLatin1(rows[row]);
        for (int i = 0; i < kRowKeys[row]; ++i) {
            QPushButton* button = m_charKeys.at(index++);
            QString character = i < characters.size() ? characters.mid(i, 1) : QString();
            if (m_shift != Shift::Off)
                character = character.toUpper();
            button->setObjectName(character);
            // "&" marks a shortcut in a caption; "&&" shows it.
            button->setText(character == QLatin1String("&") ? QStringLiteral("&&") : character);
            button->setEnabled(!character.isEmpty());
        }
    }
    // Locked capitals look apart from one capital: another sign and a white rim.
    m_shiftKey->setChecked(m_shift != Shift::Off);
    m_shiftKey->setText(m_shift == Shift::Locked ? QStringLiteral("⇪") : QStringLiteral("⇧"));
    m_shiftKey->setStyleSheet(m_shift == Shift::Locked ? QStringLiteral("QPushButton{border:4px solid white;}")
                                                       : QString());
    m_shiftKey->setEnabled(!m_symbols);
    m_symbolKey->setText(m_symbols ? QStringLiteral("abc") : QStringLiteral("#+="));
}

void NumCharInput::press(const QString& key)
{
    if (key == QLatin1String("ok")) {
        confirm();
        return;
    }
    if (key == QLatin1String("shift")) {
        if (m_symbols)
            return;
        m_shift = m_shift == Shift::Off ? Shift::Once : m_shift == Shift::Once ? Shift::Locked : Shift::Off;
        relabel();
        return;
    }
    if (key == QLatin1String("symbols")) {
        m_symbols = !m_symbols;
        m_shift = Shift::Off;
        relabel();
        return;
    }
    if (!m_target)
        return;
    if (key == QLatin1String("cancel")) {
        m_target->setText(m_original);
        hide();
    } else if (key == QLatin1String("back")) {
        m_target->backspace();
    } else if (key == QLatin1String("clear")) {
        m_target->clear();
    } else if (key == QLatin1String("space")) {
        insertText(QStringLiteral(" "));
    } else if (key.size() == 1 && key.at(0).unicode() > 0x20 && key.at(0).unicode() < 0x7f) {
        insertText(key);
        if (m_shift == Shift::Once && key.at(0).isLetter()) {
            m_shift = Shift::Off;
            relabel();
        }
    }
}
