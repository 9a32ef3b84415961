#pragma once
// Resources that the build puts into each version's setup program.
#define KX_PACKAGE_RESOURCE 101
#define KX_VERSION_STRING 102
#define KX_PRODUCT_CODE_STRING 103
