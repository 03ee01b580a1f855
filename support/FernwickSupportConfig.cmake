# find_package(FernwickSupport) gives the imported target Fernwick::fernwick_support.
include("${CMAKE_CURRENT_LIST_DIR}/FernwickSupportTargets.cmake")
