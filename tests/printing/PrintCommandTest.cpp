// The editor's print command: the preview and the failure message go through the modal seam.
#include "PrintingSupport.h"

#include "printing/report/PrintCommand.h"
#include "ui/Seam.h"

#include "support/Builders.h"
#include "support/Files.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"

#include <QDialog>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>

#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using namespace kestrel::printingtest;
using namespace kestrel::testsupport;

namespace {

// Answers the print preview (counting it and its pages) and records the messages.
struct PreviewResponder : ScriptedResponder {
    int previews = 0;
    int previewPages = -1;
    PreviewResponder() {
        onDialog = [this](QDialog* dialog) {
            if (qobject_cast<QPrintPreviewDialog*>(dialog)) {
                ++previews;
                if (auto* widget = dialog->findChild<QPrintPreviewWidget*>()) {
                    widget->updatePreview();
                    previewPages = widget->pageCount();
                }
            }
            return int(QDialog::Rejected);
        };
    }
};

} // namespace

TEST(PrintCommand, OpensThePreviewOfTheCatalogue) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    for (int i = 0; i < 70; ++i)
        WriteReportModule(folder.Path(), {"m" + std::to_string(100 + i) + ".kst", "G1", "审计模块"});
    PreviewResponder responder;
    PrintCatalogueReport(nullptr, catalogue);
    EXPECT_EQ(responder.previews, 1);
    EXPECT_GE(responder.previewPages, 2);
    EXPECT_TRUE(responder.messages.empty());
}

TEST(PrintCommand, SaysWhyInsteadOfPrintingAnEmptyReport) {
    TempDir folder;
    const GroupCatalogue catalogue = WriteCatalogue(folder / "test.MGP", {{"G1", Gbk("一")}});
    {
        PreviewResponder responder;
        PrintCatalogueReport(nullptr, catalogue);
        ASSERT_EQ(responder.messages.size(), 1u);
        EXPECT_TRUE(responder.messages[0].text.startsWith(QStringLiteral("报表无法生成：")))
            << responder.messages[0].text.toStdString();
        EXPECT_TRUE(responder.messages[0].text.contains(QStringLiteral("没有模块文件")));
        EXPECT_EQ(responder.previews, 0);
    }
    std::ofstream(folder / "broken.kst") << "MODULE_ITEM";
    {
        PreviewResponder responder;
        PrintCatalogueReport(nullptr, catalogue);
        ASSERT_EQ(responder.messages.size(), 1u);
        EXPECT_EQ(responder.messages[0].text, QStringLiteral("报表无法生成：“broken.kst”不是模块文件。"));
        EXPECT_EQ(responder.previews, 0);
    }
}
