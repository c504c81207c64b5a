// The browse dialog as a Win32 modal dialog from template 101 of the driver's
// own module. The procedure moves text between the controls and the model.
#include <windows.h>

#include "platform/browse_dialog.h"
#include "platform/browse_dialog_ids.h"

namespace {

// Longer than any item the model lists; longer items are not read.
constexpr int kItemTextSize = 64;

BrowseDialogModel* ModelOf(HWND dialog) {
  return reinterpret_cast<BrowseDialogModel*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

void Fill(HWND dialog, int control, UINT addMessage, const BrowseDialogModel& model, BrowseList list) {
  for (int i = 0; i < model.ItemCount(list); ++i) {
    SendDlgItemMessageA(dialog, control, addMessage, 0, reinterpret_cast<LPARAM>(model.Item(list, i)));
  }
}

// The selected area's text, or an empty one.
void SelectedArea(HWND dialog, char (&text)[kItemTextSize]) {
  text[0] = '\0';
  const LRESULT index = SendDlgItemMessageA(dialog, IDC_BROWSE_AREA, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return;
  const LRESULT length = SendDlgItemMessageA(dialog, IDC_BROWSE_AREA, CB_GETLBTEXTLEN, index, 0);
  if (length == CB_ERR || length >= kItemTextSize) return;
  SendDlgItemMessageA(dialog, IDC_BROWSE_AREA, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
}

// The bit list is read by its top item, the one the user scrolled to.
template <size_t N>
void TopBitItem(HWND dialog, char (&text)[N]) {
  text[0] = '\0';
  const LRESULT top = SendDlgItemMessageA(dialog, IDC_BROWSE_BIT, LB_GETTOPINDEX, 0, 0);
  if (top == LB_ERR) return;
  const LRESULT length = SendDlgItemMessageA(dialog, IDC_BROWSE_BIT, LB_GETTEXTLEN, top, 0);
  if (length == LB_ERR || length >= static_cast<LRESULT>(N)) return;
  SendDlgItemMessageA(dialog, IDC_BROWSE_BIT, LB_GETTEXT, top, reinterpret_cast<LPARAM>(text));
}

void ShowBitList(HWND dialog, bool show) {
  const int command = show ? SW_SHOW : SW_HIDE;
  ShowWindow(GetDlgItem(dialog, IDC_BROWSE_BIT), command);
  ShowWindow(GetDlgItem(dialog, IDC_BROWSE_BIT_LABEL), command);
}

INT_PTR OnOk(HWND dialog, BrowseDialogModel& model) {
  BrowseEntries entries{};
  GetDlgItemTextA(dialog, IDC_BROWSE_STATION, entries.station, sizeof entries.station);
  GetDlgItemTextA(dialog, IDC_BROWSE_AREA, entries.area, sizeof entries.area);
  GetDlgItemTextA(dialog, IDC_BROWSE_ELEMENT, entries.element, sizeof entries.element);
  TopBitItem(dialog, entries.bit);
  if (const BrowseRefusal* refusal = model.Confirm(entries)) {
    MessageBoxA(dialog, refusal->text, refusal->caption, MB_OK);
    return FALSE;
  }
  EndDialog(dialog, kBrowseDialogOk);
  return TRUE;
}

INT_PTR CALLBACK BrowseDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    const auto& model = *reinterpret_cast<BrowseDialogModel*>(lParam);
    Fill(dialog, IDC_BROWSE_BIT, LB_ADDSTRING, model, BrowseList::kBit);
    Fill(dialog, IDC_BROWSE_AREA, CB_ADDSTRING, model, BrowseList::kArea);
    Fill(dialog, IDC_BROWSE_STATION, CB_ADDSTRING, model, BrowseList::kStation);
    return TRUE;
  }
  BrowseDialogModel* model = ModelOf(dialog);
  if (message != WM_COMMAND || model == nullptr) return FALSE;
  const int control = LOWORD(wParam);
  if (control == IDC_BROWSE_AREA && HIWORD(wParam) == CBN_SELCHANGE) {
    char area[kItemTextSize];
    SelectedArea(dialog, area);
    ShowBitList(dialog, model->AreaChosen(area));
    return FALSE;
  }
  if (control == IDOK) return OnOk(dialog, *model);
  if (control == IDCANCEL) {
    EndDialog(dialog, kBrowseDialogCancel);
    return TRUE;
  }
  return FALSE;
}

int RunDialog(BrowseDialogModel& model, void* ownerWindow) {
  HMODULE module = GetModuleHandleA("DEREVU1.DLL");
  if (module == nullptr) return kBrowseDialogFailed;
  const INT_PTR end = DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_BROWSE_ADDRESS), static_cast<HWND>(ownerWindow),
                                      BrowseDialogProc, reinterpret_cast<LPARAM>(&model));
  if (end == kBrowseDialogOk || end == kBrowseDialogCancel) return static_cast<int>(end);
  return kBrowseDialogFailed;
}

}  // namespace

BrowseDialogRunner NativeBrowseDialog() { return &RunDialog; }
