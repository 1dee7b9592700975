// Entry of the Advanced settings dialog (dialog 16), opened by the "&Advanced..." button of the
// Port Settings page.
#pragma once

#include "../provider/provider.h"

// Runs dialog 16 modally for the port of the advanced block, owned by parent. The caller has
// copied its port name into advanced->NewPortName; after a TRUE result, advanced->NewPortName holds
// the port's name after the dialog. FALSE (after telling the user) when the device key cannot be
// opened for writing; TRUE once the dialog has closed by OK or Cancel.
BOOL OpenAdvancedDialog(HWND parent, AdvancedBlock* advanced);

// Dialog procedure of dialog 16; the advanced block arrives as the creation parameter and is kept
// in the dialog's user data slot.
INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
