# Windows looks for a program's DLLs beside the program first: copies
# korvel_dll.dll into the current binary directory, where `program` is built.
function(korvel_copy_library_beside program)
  set(library_copy ${CMAKE_CURRENT_BINARY_DIR}/korvel_dll.dll)
  add_custom_command(
    OUTPUT ${library_copy}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:korvel_dll> ${library_copy}
    DEPENDS korvel_dll
    COMMENT "Copying korvel_dll.dll beside ${program}")
  add_custom_target(${program}_library_copy ALL DEPENDS ${library_copy})
endfunction()
