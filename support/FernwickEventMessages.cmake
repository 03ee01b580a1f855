# fernwick_add_event_messages(<target>) puts the diagnostic logger's message
# table (event_messages.rc and its MSG00409.bin, found in
# FERNWICK_EVENT_MESSAGES_DIR) into a program or DLL, so that the Event
# Viewer shows the text of the events a module that registers itself as the
# event message file reports.
function(fernwick_add_event_messages target)
  set(rc ${FERNWICK_EVENT_MESSAGES_DIR}/event_messages.rc)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES
    GENERATED TRUE INCLUDE_DIRECTORIES ${FERNWICK_EVENT_MESSAGES_DIR})
  # Within the library's own build the table is compiled first.
  if(TARGET fernwick_event_messages)
    add_dependencies(${target} fernwick_event_messages)
  endif()
endfunction()
