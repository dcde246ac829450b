#include "Tabulon.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

Tabulon::Tabulon(QWidget *parent)
    : QMainWindow(parent)
{
    ui.setupUi(this);
    readConfig(QStringLiteral(".//config//Tabulon.ini"));
    controller.initPara();
    std::vector<std::string> res = controller.getTableNames();
    initUi(res);
}

Tabulon::~Tabulon()
{
    controller.closeDatabase();
}

void Tabulon::initUi(std::vector<std::string> tableNames)
{
    mainLayout = new QVBoxLayout;
    ui.centralWidget->setLayout(mainLayout);

    auto *Layout2Widget = new QWidget;
    auto *Layout2 = new QHBoxLayout;
    Layout2Widget->setLayout(Layout2);
    mainLayout->addWidget(Layout2Widget);

    Layout2->addWidget(new QLabel(QString::fromUtf8("请选择日期")));
    auto *Layou2MBox = new QComboBox;
    for (const std::string &name : tableNames)
        Layou2MBox->addItem(QString::fromStdString(name));
    Layout2->addWidget(Layou2MBox);
    connect(Layou2MBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this, Layou2MBox]() {
        showTable(Layou2MBox->currentText().toStdString());
    });

    Layout2->addWidget(new QLabel(QString::fromUtf8("根据SN查询")));
    auto *Layout2LEdit = new QLineEdit;
    Layout2->addWidget(Layout2LEdit);
    auto *queryButton = new QPushButton(QString::fromUtf8("查询"));
    Layout2->addWidget(queryButton);
    connect(queryButton, &QAbstractButton::clicked, this, [this, Layou2MBox, Layout2LEdit]() {
        const std::string sn = Layout2LEdit->text().toStdString();
        const std::string tableName = Layou2MBox->currentText().toStdString();
        showSnResult(tableName, sn);
    });

    tableWidget = new QTableWidget;
    mainLayout->addWidget(tableWidget);

    showTable(Layou2MBox->currentText().toStdString());
    installKeys(Layou2MBox);
}
