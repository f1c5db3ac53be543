# The first install rule: refuses, before anything is copied, an install the
# agent would not work from or that would make root unsafe. Set by the
# generated kelInstallSettings.cmake of the build: KEL_AGENT_SANITIZED and
# KEL_TRUSTED_DIRS (the catalog and crypto library directories).
include("${CMAKE_CURRENT_LIST_DIR}/kelTrust.cmake")

# A sanitizer runtime in a set-user-id program takes its options from the
# caller's environment: ASAN_OPTIONS=log_path=... chooses a file root writes.
if(KEL_AGENT_SANITIZED)
  message(FATAL_ERROR "kelvlx: this build has the sanitizers on; its agent must never be installed set-user-id. "
                      "Build for installing without KEL_SANITIZE and without -fsanitize flags (README).")
endif()

kel_check_trusted_dirs("${KEL_TRUSTED_DIRS}")
