# Hardening for every program and library the build makes. docs/releases.md
# lists what the shipped files carry; tests/packaging checks it on them.
if(WIN32)
  # A canary in every function with an array or an address-taken local. The
  # check and the guard come from GCC's libssp, linked statically (the
  # compiler driver adds it when linking with the flag); it seeds the guard
  # with CryptGenRandom from advapi32, which the DLL imports anyway.
  add_compile_options(-fstack-protector-strong)
  add_link_options(-fstack-protector-strong)
  # Address space layout randomisation over the whole 64-bit space and no
  # execution from data pages. lld sets these by default; named so that they
  # stay.
  add_link_options(LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)
else()
  add_compile_options(-fstack-protector-strong -fcf-protection=full)
  # Checked string and memory calls where the sizes are known. Only in
  # optimised builds (the checks need it), and not under the sanitizers,
  # which check these calls themselves and do not intercept the checked
  # variants.
  if(NOT KORVEL_SANITIZE)
    add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
  # Relocations resolved at load and the table then made read-only.
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  # The compiler marks each object for shadow stacks and indirect-branch
  # tracking, but Debian 12's glibc start files (crti.o, crtn.o, Scrt1.o)
  # carry no such mark, so the linker would drop it. Their code only calls
  # and returns, which a shadow stack allows, so the mark for that is set
  # outright. Indirect-branch tracking stays unmarked: crti.o's _init, which
  # the loader calls indirectly, does not start with endbr64.
  add_link_options(LINKER:-z,shstk)
endif()
