#pragma once
//! \file
//! Lumerix: image processing on NVIDIA GPUs through CUDA, with a multi-threaded CPU backend.
//! The one public header: the memory manager (namespace cmm), the image class and every operation.

#include <cmm/cmm.h>
#include <lumerix/LumerixBorderFilters.h>
#include <lumerix/LumerixFFT.h>
#include <lumerix/LumerixFatal.h>
#include <lumerix/LumerixGeometric.h>
#include <lumerix/LumerixHistogram.h>
#include <lumerix/LumerixImage.h>
#include <lumerix/LumerixLabel.h>
#include <lumerix/LumerixNeighborhood.h>
#include <lumerix/LumerixPixel.h>
#include <lumerix/LumerixReduce.h>
#include <lumerix/LumerixRegions.h>
#include <lumerix/LumerixScale.h>
