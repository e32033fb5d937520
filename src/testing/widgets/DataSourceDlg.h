#pragma once
// "选择数据源": the data source of a sheet's first SQL test. Lists the user's and the system's
// data sources, takes a full connection string, or makes one for an SQLite database file.
// Rejected means the data source was not chosen.
#include <QDialog>

#include <string>

class QLineEdit;
class QListWidget;
class QPushButton;

namespace kestrel {

class DataSourceDlg : public QDialog {
    Q_OBJECT
public:
    explicit DataSourceDlg(QWidget* parent = nullptr);

    // The chosen connection string (valid after the dialog was accepted).
    QString ConnectionString() const { return m_connectionString; }
    std::string ConnectionStringUtf8() const { return m_connectionString.toStdString(); }

    // The string that opens the SQLite database file at path through the SQLite3 driver.
    static QString SqliteConnectionString(const QString& path);

    void accept() override;

private:
    void PickSqliteFile();
    void SourceChosen();

    QListWidget* m_sources;
    QLineEdit* m_connectionEdit;
    QPushButton* m_okButton;
    QString m_connectionString;
};

} // namespace kestrel
