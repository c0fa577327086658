#pragma once
//! \file
//! The paged device-memory manager.

#include <cmm/cmmDims.h>
#include <cmm/cmmPage.h>
#include <cmm/cmmPagedMemory.h>
#include <cmm/cmmState.h>
#include <cmm/cmmStatistics.h>
