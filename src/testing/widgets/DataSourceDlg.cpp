#include "testing/widgets/DataSourceDlg.h"

#include "testing/db/Odbc.h"
#include "ui/DialogUnits.h"
#include "ui/Seam.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace kestrel {

namespace {
constexpr int kNameRole = Qt::UserRole;
}

DataSourceDlg::DataSourceDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("选择数据源"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du(font());
    setFixedSize(du.Size(260, 170));

    auto* listLabel = new QLabel(QStringLiteral("数据源(&D)："), this);
    listLabel->setGeometry(du.Rect(7, 7, 180, 9));
    m_sources = new QListWidget(this);
    m_sources->setGeometry(du.Rect(7, 18, 190, 82));
    listLabel->setBuddy(m_sources);
    m_sources->setAccessibleName(QStringLiteral("数据源")); // a list takes no name from its label
    for (const odbc::DataSource& source : odbc::ListDataSources()) {
        const QString name = QString::fromStdString(source.name);
        QString line = name;
        if (!source.description.empty())
            line += QStringLiteral("  (") + QString::fromStdString(source.description) + QLatin1Char(')');
        line += source.system ? QStringLiteral("  [系统]") : QStringLiteral("  [用户]");
        auto* item = new QListWidgetItem(line, m_sources);
        item->setData(kNameRole, name);
    }

    auto* stringLabel = new QLabel(QStringLiteral("连接字符串(&C)："), this);
    stringLabel->setGeometry(du.Rect(7, 106, 180, 9));
    m_connectionEdit = new QLineEdit(this);
    m_connectionEdit->setGeometry(du.Rect(7, 117, 246, 13));
    stringLabel->setBuddy(m_connectionEdit);

    auto* sqliteButton = new QPushButton(QStringLiteral("SQLite 文件(&F)..."), this);
    sqliteButton->setGeometry(du.Rect(7, 138, 70, 14));

    m_okButton = new QPushButton(QStringLiteral("确定"), this);
    m_okButton->setGeometry(du.Rect(203, 18, 50, 14));
    m_okButton->setDefault(true);
    auto* cancelButton = new QPushButton(QStringLiteral("取消"), this);
    cancelButton->setGeometry(du.Rect(203, 36, 50, 14));

    connect(m_sources, &QListWidget::currentItemChanged, this, [this] { SourceChosen(); });
    connect(m_sources, &QListWidget::itemDoubleClicked, this, [this] {
        SourceChosen();
        accept();
    });
    connect(sqliteButton, &QPushButton::clicked, this, [this] { PickSqliteFile(); });
    connect(m_okButton, &QPushButton::clicked, this, &DataSourceDlg::accept);
    connect(cancelButton, &QPushButton::clicked, this, &DataSourceDlg::reject);
}

QString DataSourceDlg::SqliteConnectionString(const QString& path) {
    // A value with a separator in it is braced, as connection strings allow.
    const bool brace = path.contains(QLatin1Char(';')) || path.startsWith(QLatin1Char('{'));
    return QStringLiteral("Driver=SQLite3;Database=") + (brace ? QLatin1Char('{') + path + QLatin1Char('}') : path);
}

void DataSourceDlg::SourceChosen() {
    if (QListWidgetItem* item = m_sources->currentItem())
        m_connectionEdit->setText(QStringLiteral("DSN=") + item->data(kNameRole).toString());
}

void DataSourceDlg::PickSqliteFile() {
    const QString path =
        ui::GetFileName(this, ui::FileDialogKind::Open, QString(),
                        QStringLiteral("SQLite 数据库 (*.db *.sqlite *.sqlite3 *.db3);;所有文件 (*)"), QString());
    if (path.isEmpty())
        return;
    m_connectionEdit->setText(SqliteConnectionString(path));
}

void DataSourceDlg::accept() {
    // Nothing chosen yet: the dialog stays open, as the other dialogs of the tool do.
    const QString text = m_connectionEdit->text().trimmed();
    if (text.isEmpty()) {
        m_connectionEdit->setFocus();
        return;
    }
    m_connectionString = text;
    QDialog::accept();
}

} // namespace kestrel
