// What corsim's chapters share: how they speak, and the chapters kept in files of their own.
#pragma once

#include "kernel/hostkernel.h"
#include "machine/machine.h"

#include <string>
#include <vector>

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Heading(const std::string& title);

// corserial on every port of one board of each model: names, a transfer, removal. True when
// every message arrived intact and nothing was left behind.
bool ComPortStory(const std::vector<HmModel>& models, PDRIVER_OBJECT corcard);
