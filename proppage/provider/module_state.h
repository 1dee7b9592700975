// Module-wide texts written once at process attach and read-only afterwards.
#pragma once

#include <windows.h>

constexpr int kOutOfMemoryTextLength = 200;
constexpr int kOutOfMemoryCaptionLength = 30;

extern WCHAR OutOfMemoryText[kOutOfMemoryTextLength];
extern WCHAR OutOfMemoryCaption[kOutOfMemoryCaptionLength];
