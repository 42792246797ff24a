// Functions defined in a separate translation unit, so that the compiler
// cannot fold the constants passed to them: the references and addresses
// they receive must point at the constants' definitions.
#pragma once

#include "data_buffer.pb.h"
#include "data_descriptor.pb.h"

int UseInt(const int& value);
int UseCorrection(const kyt::pb::common::DataDescriptor_DataCorrections& value);
int UseCompression(const kyt::pb::common::DataBuffer_CompressionType& value);
const void* AddressOf(const void* address);
