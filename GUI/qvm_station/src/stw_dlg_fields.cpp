// The station window's fields, Operator and Work order: their values, the
// one that must be filled and is not, and Enter from a barcode scanner. On
// the window's thread.
#include "stw_dlg.h"

#include "stn_text.h"
#include "stw_resource.h"
#include "stw_text.h"

std::string StwDialog::Field(int id) {
    HWND edit = GetDlgItem(id)->m_hWnd;
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(edit)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(edit, &text[0], static_cast<int>(text.size()))));
    return stw_field_value(stn_utf8(text));
}

int StwDialog::MissingField() {
    if (args_.require_operator && Field(IDC_OPERATOR).empty()) return IDC_OPERATOR;
    if (args_.require_order && Field(IDC_ORDER).empty()) return IDC_ORDER;
    return 0;
}

void StwDialog::FocusItem(int id) {
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(id)->m_hWnd), TRUE);
}

void StwDialog::ScanEnter(int id) {
    if (id == IDC_OPERATOR) {
        if (args_.require_operator && Field(IDC_OPERATOR).empty()) {
            MessageBeep(MB_OK);
            return;
        }
        FocusItem(IDC_ORDER);  // all of it selected: a new scan replaces it
        return;
    }
    const int missing = MissingField();
    if (missing != 0) {
        MessageBeep(MB_OK);
        FocusItem(missing);
        return;
    }
    if (GetDlgItem(IDC_START)->IsWindowEnabled()) Start();
}

bool StwDialog::FieldsFit(const StnWho &who) {
    const struct {
        const std::string &value;
        int id;
        const char *name;
    } fields[] = {{who.operator_name, IDC_OPERATOR, "operator"}, {who.order, IDC_ORDER, "work order"}};
    for (const auto &f : fields) {
        if (stn_printable_text(f.value, 0, kFieldChars)) continue;
        stw_message(m_hWnd, std::string("The ") + f.name + " must be printable text of at most " +
                                std::to_string(kFieldChars) + " characters.",
                    MB_OK | MB_ICONWARNING);
        FocusItem(f.id);
        return false;
    }
    return true;
}
