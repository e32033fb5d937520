#pragma once
// "搜索模块": search across the modules of the open catalogue; choosing a hit opens its module.
#include "repository/Catalogue.h"
#include "repository/ModuleSearch.h"

#include <QDialog>

#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;

namespace kestrel {

class SearchDlg : public QDialog {
    Q_OBJECT
public:
    explicit SearchDlg(const GroupCatalogue& catalogue, QWidget* parent = nullptr);

    // Runs the search with what the controls hold and lists the hits.
    void Search();
    // The hit the dialog was accepted with.
    const SearchHit& ChosenHit() const { return m_chosen; }
    const std::vector<SearchHit>& Hits() const { return m_hits; }

    QLineEdit* PatternEdit() const { return m_pattern; }
    QCheckBox* IgnoreCaseBox() const { return m_ignoreCase; }
    QCheckBox* RegexBox() const { return m_regex; }
    QComboBox* GroupList() const { return m_group; }
    QListWidget* HitList() const { return m_list; }
    QLabel* CountLabel() const { return m_count; }

public slots:
    void accept() override;

private:
    const GroupCatalogue& m_catalogue;
    std::vector<SearchHit> m_hits;
    SearchHit m_chosen;
    QLineEdit* m_pattern;
    QCheckBox* m_ignoreCase;
    QCheckBox* m_regex;
    QComboBox* m_group;
    QListWidget* m_list;
    QLabel* m_count;
};

} // namespace kestrel
