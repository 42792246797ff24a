// The common-dto program; everything else of the tool is in its library
// (common-dto-tool), which the tests and the fuzz targets link as well.
#include "commands.h"

int main(int argc, char** argv) { return common_dto::cli::Main(argc, argv); }
