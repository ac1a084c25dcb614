# Debug symbols a Visual Studio debugger reads: with clang, every Windows
# object carries CodeView debug information, and each shipped program and DLL
# is linked with a PDB beside it.
include(GNUInstallDirs)

if(WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-g -gcodeview)
endif()

# Links `target` with its PDB (TARGET.pdb beside the file), installs the PDB
# beside it, and strips the DWARF debug information that the static MinGW-w64
# runtime libraries bring along and that no Windows debugger reads. The debug
# directory names the PDB by its file name alone, without the build folder,
# which is how a debugger finds it beside the file or on a symbol path.
function(korvel_windows_pdb target)
  if(NOT WIN32 OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    return()
  endif()
  set(pdb $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb)
  target_link_options(${target} PRIVATE "LINKER:--pdb=${pdb}" "LINKER:--Xlink=-pdbaltpath:%_PDB%")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_STRIP} --strip-debug $<TARGET_FILE:${target}>
    VERBATIM)
  install(FILES ${pdb} DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
