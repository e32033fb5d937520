#pragma once
// Edit boxes that refuse, as typed or pasted, any character GBK cannot encode and any input
// past a limit counted in GBK bytes.
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QValidator>

namespace kestrel::ui {

class GbkValidator : public QValidator {
    Q_OBJECT
public:
    explicit GbkValidator(int byteLimit, QObject* parent = nullptr);
    State validate(QString& input, int& pos) const override;
    void SetByteLimit(int byteLimit) { m_byteLimit = byteLimit; }

private:
    int m_byteLimit; // < 0: no limit
};

class GbkLineEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit GbkLineEdit(int byteLimit = -1, QWidget* parent = nullptr);
    void SetByteLimit(int byteLimit);
    std::string GbkText() const;
    void SetGbkText(const std::string& gbk);

private:
    GbkValidator* m_validator;
};

class GbkPlainTextEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit GbkPlainTextEdit(QWidget* parent = nullptr);
    // Stored texts use CR LF line breaks; the widget works with LF.
    std::string GbkText() const;
    void SetGbkText(const std::string& gbk);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
};

} // namespace kestrel::ui
