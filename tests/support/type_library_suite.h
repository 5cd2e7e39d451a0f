// A test suite whose tests call the component by name: dispatch needs the type
// library registered, which the suite does once for all its tests.
#pragma once

#include <gtest/gtest.h>

#include "talvenor_dll.h"
#include "wine_machine.h"

namespace test_support {

class TypeLibrarySuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { typeLibraryRegistered_ = RegisterTypeLibFromDll() == S_OK; }
    static void TearDownTestSuite() {
        UnregisterTypeLibOfDll();
        DeleteTokenKeys();
    }

    static inline bool typeLibraryRegistered_ = false;
};

}  // namespace test_support
