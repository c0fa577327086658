#pragma once
//! \file
//! What happens when a runtime call fails. By default the library writes its report to standard
//! error and ends the process with exit status 1. A program that embeds the library (an
//! interpreter, a notebook kernel) may install a handler that reports the failure its own way,
//! for example by throwing an exception where the caller can unwind.

#include <cmm/cmmExport.h>

//! Receives the caption ("LUMERIX error" for the image layer's report, empty for the manager's
//! one-line report and the device start-up's messages) and the text as the default report would
//! write it. A handler that returns lets the process end as by default (exit status 1); one that
//! throws unwinds through the failing operation, whose images then hold undefined pixels.
using LumerixFatalHandler = void (*)(const char* caption, const char* text);

//! Installs handler (nullptr: the default report) and returns the one installed before.
LMX_API LumerixFatalHandler LumerixSetFatalHandler(LumerixFatalHandler handler);
