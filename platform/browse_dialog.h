// The address browse dialog as the operating system shows it. What it lists
// and how it judges the user's entries come from a BrowseDialogModel; the
// window code only moves text between the model and the dialog's controls.
#pragma once

#include <cstdint>

// The dialog's three lists.
enum class BrowseList { kStation, kArea, kBit };

// The texts read from the controls when OK is pressed, each NUL-terminated
// and cut to its buffer: station and area at most 2 characters (the area's
// first is its letter), the element at most 6, so that a sixth character is
// seen and refused; the bit is the bit list's top item.
struct BrowseEntries {
  char station[3];
  char area[3];
  char element[7];
  char bit[8];
};

// A message box that refuses the entries; the dialog stays open.
struct BrowseRefusal {
  const char* text;
  const char* caption;
};

class BrowseDialogModel {
 public:
  virtual int ItemCount(BrowseList list) const = 0;
  virtual const char* Item(BrowseList list, int index) const = 0;
  // The area box's selection changed to this text (empty when nothing is
  // selected); true when the bit list is to be shown.
  virtual bool AreaChosen(const char* areaText) = 0;
  // OK was pressed: nullptr accepts the entries and ends the dialog,
  // otherwise the message box to show.
  virtual const BrowseRefusal* Confirm(const BrowseEntries& entries) = 0;

 protected:
  ~BrowseDialogModel() = default;
};

// How a dialog ended: OK, Cancel, or it could not be shown.
constexpr int kBrowseDialogOk = 1;
constexpr int kBrowseDialogCancel = 2;
constexpr int kBrowseDialogFailed = -1;

// Runs the modal dialog, owned by ownerWindow when that is not null, and
// returns how it ended.
using BrowseDialogRunner = int (*)(BrowseDialogModel& model, void* ownerWindow);

// The system's dialog; nullptr where no dialog can appear.
BrowseDialogRunner NativeBrowseDialog();
// The dialog in use: the system's, or the one a test put in its place.
BrowseDialogRunner BrowseDialog();
// Replaces the dialog (tests); nullptr restores the system's.
void SetBrowseDialog(BrowseDialogRunner runner);
