// Identifiers of the browse dialog's template and controls, shared by the
// resource script, the dialog procedure and the tests that drive the dialog.
#pragma once

#define IDD_BROWSE_ADDRESS 101
#define IDC_BROWSE_AREA 1006
#define IDC_BROWSE_ELEMENT 1007
#define IDC_BROWSE_STATION 1008
#define IDC_BROWSE_BIT 1022
// The bit list's label, shown and hidden with the list.
#define IDC_BROWSE_BIT_LABEL 1023
