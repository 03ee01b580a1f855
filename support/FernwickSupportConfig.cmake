# find_package(FernwickSupport) gives the imported target Fernwick::fernwick_support
# and fernwick_add_event_messages(<target>), which puts the logger's message
# table into a program or DLL.
include("${CMAKE_CURRENT_LIST_DIR}/FernwickSupportTargets.cmake")
set(FERNWICK_EVENT_MESSAGES_DIR "${CMAKE_CURRENT_LIST_DIR}/event_messages" CACHE INTERNAL "")
include("${CMAKE_CURRENT_LIST_DIR}/FernwickEventMessages.cmake")
