#include "editor/SearchDlg.h"

#include "core/FixedText.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

namespace kestrel {

namespace {

// The field of a hit outside the SQL, in the window's words (the page labels of the sheet).
QString FieldLabel(const SearchHit& hit) {
    switch (hit.field) {
    case SearchField::Title:
        return QStringLiteral("标题");
    case SearchField::Description:
        return QStringLiteral("说明");
    case SearchField::VariableName:
        return QStringLiteral("变量");
    case SearchField::TestValue:
        return QStringLiteral("测试值(%1)").arg(QString::fromStdString(hit.variable));
    case SearchField::Sql:
        break;
    }
    return QStringLiteral("SQL");
}

} // namespace

SearchDlg::SearchDlg(const GroupCatalogue& catalogue, QWidget* parent) : QDialog(parent), m_catalogue(catalogue) {
    setWindowTitle(QStringLiteral("搜索模块"));
    setFont(ui::DialogFont());
    const ui::DialogUnits du;
    setFixedSize(du.Size(400, 240));

    auto* patternLabel = new QLabel(QStringLiteral("查找内容："), this);
    patternLabel->setGeometry(du.Rect(7, 9, 40, 10));
    m_pattern = new QLineEdit(this);
    m_pattern->setGeometry(du.Rect(48, 7, 220, 12));
    patternLabel->setBuddy(m_pattern);
    auto* groupLabel = new QLabel(QStringLiteral("模块组："), this);
    groupLabel->setGeometry(du.Rect(7, 25, 40, 10));
    m_group = new QComboBox(this);
    m_group->setGeometry(du.Rect(48, 23, 120, 12));
    groupLabel->setBuddy(m_group);
    m_group->addItem(QStringLiteral("（全部模块组）"));
    for (int i = 0; i < catalogue.groupCount; ++i)
        m_group->addItem(QStringLiteral("[%1] %2").arg(ui::FromGbk(FieldView(catalogue.groups[i].identifier)),
                                                       ui::FromGbk(FieldView(catalogue.groups[i].name))));
    m_ignoreCase = new QCheckBox(QStringLiteral("忽略大小写"), this);
    m_ignoreCase->setGeometry(du.Rect(176, 24, 50, 10));
    m_regex = new QCheckBox(QStringLiteral("正则表达式"), this);
    m_regex->setGeometry(du.Rect(230, 24, 50, 10));

    auto* search = new QPushButton(QStringLiteral("&F.搜索"), this);
    search->setGeometry(du.Rect(286, 6, 50, 14));
    auto* open = new QPushButton(QStringLiteral("&O.打开"), this);
    open->setGeometry(du.Rect(343, 6, 50, 14));
    auto* close = new QPushButton(QStringLiteral("&X.退出"), this);
    close->setGeometry(du.Rect(343, 22, 50, 14));

    m_list = new QListWidget(this);
    m_list->setGeometry(du.Rect(7, 40, 386, 182));
    // Fixed pitch, as the main window's lists, so file names and line numbers line up.
    m_list->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_list->setAccessibleName(QStringLiteral("搜索结果"));
    m_count = new QLabel(this);
    m_count->setGeometry(du.Rect(7, 226, 386, 10));

    // No default button: Enter searches in the pattern and opens in the list.
    for (QPushButton* button : {search, open, close})
        button->setAutoDefault(false);
    connect(m_pattern, &QLineEdit::returnPressed, this, [this] {
        Search();
        if (!m_hits.empty())
            m_list->setFocus();
    });
    connect(search, &QPushButton::clicked, this, &SearchDlg::Search);
    connect(open, &QPushButton::clicked, this, &SearchDlg::accept);
    connect(close, &QPushButton::clicked, this, &SearchDlg::reject);
    connect(m_list, &QListWidget::itemActivated, this, [this] { accept(); });
    setTabOrder(m_pattern, m_group);
    setTabOrder(m_group, m_ignoreCase);
    setTabOrder(m_ignoreCase, m_regex);
    setTabOrder(m_regex, search);
    setTabOrder(search, m_list);
}

void SearchDlg::Search() {
    m_hits.clear();
    m_list->clear();
    if (m_pattern->text().isEmpty())
        return;
    SearchOptions options;
    options.pattern = m_pattern->text().toStdString();
    options.ignoreCase = m_ignoreCase->isChecked();
    options.regex = m_regex->isChecked();
    if (const int group = m_group->currentIndex() - 1; group >= 0 && group < m_catalogue.groupCount) {
        options.hasGroup = true;
        options.group = FieldText(m_catalogue.groups[group].identifier);
    }
    const FileStatus searched = SearchModules(m_catalogue, options, m_hits);
    if (!searched) {
        ui::ShowMessage(this,
                        searched.error().IsInvalid() ? QStringLiteral("无效的正则表达式！")
                                                     : ui::FromGbk(searched.error().Text()),
                        QStringLiteral("错误"));
        m_count->clear();
        return;
    }
    for (const SearchHit& hit : m_hits) {
        const QString file = ui::FromGbk(hit.fileName);
        const QString text = QString::fromStdString(hit.text);
        if (hit.field == SearchField::Sql)
            m_list->addItem(QStringLiteral("%1:%2: %3").arg(file).arg(hit.line).arg(text));
        else
            m_list->addItem(QStringLiteral("%1:0: %2: %3").arg(file, FieldLabel(hit), text));
    }
    if (!m_hits.empty())
        m_list->setCurrentRow(0);
    m_count->setText(QStringLiteral("共 %1 处").arg(m_hits.size()));
}

void SearchDlg::accept() {
    const int row = m_list->currentRow();
    if (row < 0 || row >= static_cast<int>(m_hits.size()))
        return;
    m_chosen = m_hits[static_cast<std::size_t>(row)];
    QDialog::accept();
}

} // namespace kestrel
