// Built into the library only while the Advanced dialog's sources are absent from the tree: the
// button then tells the user that the dialog is not available instead of failing to link.
#include "advanced/advanced.h"
#include "resources/resource.h"

BOOL OpenAdvancedDialog(HWND parent, AdvancedBlock* /*block*/)
{
    ShowOutOfMemoryBox(parent);
    return FALSE;
}
