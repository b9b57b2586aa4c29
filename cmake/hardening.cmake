# The Linux program is built hardened, as distributions build theirs: a
# stack protector, checked libc calls where the size is known (these need
# optimisation, so not in Debug), a position-independent executable, and
# relocations resolved at start and then made read-only. The sanitizer and
# fuzzing builds bring their own instrumentation and go without.
if(WIN32 OR SARNELUX_SANITIZE OR SARNELUX_FUZZ)
  return()
endif()
# -U first: some compilers predefine a level, and a second definition warns.
add_compile_options(-fstack-protector-strong -fPIE
  "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_link_options(-pie -Wl,-z,relro,-z,now)
