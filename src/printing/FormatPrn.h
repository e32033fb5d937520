#pragma once
// The report library: a layout file of named sections with field slots, filled by a derived
// report through FMT_Begin / FMT_String / FMT_Commit, and laid out in pages (header on every
// page, body rows paginated, footer with the page number and count) for the print preview or
// straight into a PDF file.
#include "core/Result.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QString>

#define FORMATPRN_API __attribute__((visibility("default")))

class QDialog;
class QWidget;

// Sees every section call a report makes (for tests and diagnostics). Texts are GBK.
class FORMATPRN_API FormatPrnObserver {
public:
    virtual ~FormatPrnObserver();
    virtual void OnBegin(const std::string& section, int result) = 0;
    virtual void OnString(const std::string& field) = 0;
    // The open section's fields in layout order with their texts (empty when left unset).
    virtual void OnCommit(const std::vector<std::pair<std::string, std::string>>& fields, int result) = 0;
};

class FORMATPRN_API FormatPrn {
public:
    // layoutPath: the layout file, a path of the file system (UTF-8 on this platform).
    // documentName: GBK title of the print job and the PDF; null gives "模块目录".
    FormatPrn(const char* layoutPath, const char* documentName);

    // Produces the whole report in the print preview (choose a printer, print or save as PDF).
    // When the report cannot be made a message box says why; the result is then 0.
    //
    // The section operations are called as follows: WriteBody() once; WriteHeader(1) and
    // WriteFooter(1, 0) once to measure the page frame (0: the count is not known yet); then
    // for every page WriteHeader(page), its rows, WriteFooter(page, pageCount). The preview
    // repeats the per-page calls whenever it repaints.
    virtual int Run();
    virtual int WriteHeader(int page);
    virtual int WriteFooter(int page, int pageCount);
    virtual int WriteBody();

protected:
    // Number of printed lines of the named section in the layout; 0 when there is no such section.
    virtual int GetSectionLines(const char* section);

public:
    virtual ~FormatPrn();
    FormatPrn(const FormatPrn&) = delete;
    FormatPrn& operator=(const FormatPrn&) = delete;

    enum class Failure {
        None,
        LayoutUnreadable, // the layout file could not be read
        LayoutInvalid,    // the layout file has an error, or names what the program does not fill
        Report,           // a section operation returned 0
        Output,           // the PDF could not be produced or written
    };
    // Why a run made no report.
    struct RunError {
        Failure kind = Failure::None;
        QString text; // for people (no "报表无法生成：" prefix)
    };

    // Non-interactive path: the whole report written to pdfPath (atomically). No window, no
    // message box: the error says why there is no report.
    kestrel::Result<void, RunError> RunToPdf(const std::filesystem::path& pdfPath);

    // Windows of the interactive path go through these when set, so that callers can route
    // them through their own modal seam. parent is the preview's and the message box's parent.
    struct UiHooks {
        QWidget* parent = nullptr;
        std::function<void(QWidget* parent, const QString& text)> showMessage;
        std::function<int(QDialog* dialog)> execDialog;
    };
    void SetUiHooks(UiHooks hooks);

    // observer (kept by the caller, may be null) is told of every FMT_ call from now on.
    void SetObserver(FormatPrnObserver* observer);

    // Folder of this library file: where the default layout is installed.
    static std::filesystem::path LibraryFolder();

protected:
    // Opens the named section; 0 when the layout has no such section.
    int FMT_Begin(const char* section);
    // The text slot of a field of the open section: store the address of a zero-terminated GBK
    // text in it, which must stay in place until FMT_Commit. A field the layout does not show
    // gets a scratch slot, so a layout may leave out columns.
    const char*& FMT_String(const char* field);
    // Outputs the open section with the texts of its slots; 0 when no section is open or a
    // field of the layout was left without a text.
    int FMT_Commit();
    // Records why a section operation is about to return 0 (GBK); returns 0.
    int FMT_Fail(const char* reason);

private:
    int Begin(const char* section);
    int Commit();

    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
