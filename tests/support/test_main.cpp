// The main of every test program: the tests run with private folders in
// place of the user's own (see PrivateFolders), made before anything starts
// the database engine and removed at the end.
#include <gmock/gmock.h>

#include "support/testsupport.h"

int main(int argc, char** argv) {
  // Static: removed after the engine's own shutdown at exit, which is
  // registered later and so runs first.
  static const qv::test::PrivateFolders folders;
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
