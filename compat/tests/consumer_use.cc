#include "consumer_use.h"

int UseInt(const int& value) { return value; }
int UseCorrection(const kyt::pb::common::DataDescriptor_DataCorrections& value) { return value; }
int UseCompression(const kyt::pb::common::DataBuffer_CompressionType& value) { return value; }
const void* AddressOf(const void* address) { return address; }
