#include "widgets/indexbutton.h"

#include "base/lanstr.h"
#include "widgets/publictools_widget.h"

#include <QVBoxLayout>

IndexButton::IndexButton(QWidget* parent) : QWidget(parent)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(5, 5, 5, 5);
    column->setSpacing(10);
    m_statistics = new ColorButton(lanText(541), this, 3);
    m_settings = new ColorButton(tr("设置"), this, 3);
    m_statistics->setObjectName(QStringLiteral("statistics"));
    m_settings->setObjectName(QStringLiteral("settings"));
    for (ColorButton* button : {m_statistics, m_settings}) {
        button->setFixedSize(200, 60);
        column->addWidget(button);
    }
    column->addStretch(1);
    connect(m_statistics, &QPushButton::clicked, this, &IndexButton::sigStatistics);
    connect(m_settings, &QPushButton::clicked, this, &IndexButton::sigSettings);
}
