// The editor's print command: the preview and the failure message go through the modal seam.
#include "PrintingSupport.h"

#include "printing/PrintCommand.h"
#include "ui/Seam.h"

#include <QDialog>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>

#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using namespace kestrel::testing;

namespace {

class Responder : public ui::ModalResponder {
public:
    std::vector<QString> messages;
    std::vector<QString> captions;
    int previews = 0;
    int previewPages = -1;

    void Message(QWidget*, const QString& text, const QString& caption, ui::Icon) override {
        messages.push_back(text);
        captions.push_back(caption);
    }
    bool Question(QWidget*, const QString&, const QString&, ui::Icon, bool) override { return false; }
    QString FileName(ui::FileDialogKind, const QString&, const QString&) override { return {}; }
    int Dialog(QDialog* dialog) override {
        if (qobject_cast<QPrintPreviewDialog*>(dialog)) {
            ++previews;
            if (auto* widget = dialog->findChild<QPrintPreviewWidget*>()) {
                widget->updatePreview();
                previewPages = widget->pageCount();
            }
        }
        return QDialog::Rejected;
    }
};

struct ScopedResponder {
    explicit ScopedResponder(Responder& responder) { ui::SetModalResponder(&responder); }
    ~ScopedResponder() { ui::SetModalResponder(nullptr); }
};

} // namespace

TEST(PrintCommand, OpensThePreviewOfTheCatalogue) {
    TempFolder folder;
    const GroupCatalogue catalogue = MakeCatalogue(folder.Path(), {{"G1", "一"}});
    for (int i = 0; i < 70; ++i)
        WriteModule(folder.Path(), {"m" + std::to_string(100 + i) + ".kst", "G1", "审计模块"});
    Responder responder;
    ScopedResponder scoped(responder);
    PrintCatalogueReport(nullptr, catalogue);
    EXPECT_EQ(responder.previews, 1);
    EXPECT_GE(responder.previewPages, 2);
    EXPECT_TRUE(responder.messages.empty());
}

TEST(PrintCommand, SaysWhyInsteadOfPrintingAnEmptyReport) {
    TempFolder folder;
    const GroupCatalogue catalogue = MakeCatalogue(folder.Path(), {{"G1", "一"}});
    {
        Responder responder;
        ScopedResponder scoped(responder);
        PrintCatalogueReport(nullptr, catalogue);
        ASSERT_EQ(responder.messages.size(), 1u);
        EXPECT_TRUE(responder.messages[0].startsWith(QStringLiteral("报表无法生成：")))
            << responder.messages[0].toStdString();
        EXPECT_TRUE(responder.messages[0].contains(QStringLiteral("没有模块文件")));
        EXPECT_EQ(responder.previews, 0);
    }
    std::ofstream(folder / "broken.kst") << "MODULE_ITEM";
    {
        Responder responder;
        ScopedResponder scoped(responder);
        PrintCatalogueReport(nullptr, catalogue);
        ASSERT_EQ(responder.messages.size(), 1u);
        EXPECT_EQ(responder.messages[0], QStringLiteral("报表无法生成：“broken.kst”不是模块文件。"));
        EXPECT_EQ(responder.previews, 0);
    }
}
