# The two archive keys are compiled in. A builder who holds other key values sets
# them here, as 16 hex digits each (the 8 key bytes in order), e.g.
#   cmake -B build -DQUARLIX_FULL_KEY=0011223344556677
set(QUARLIX_FULL_KEY "CADD6D5EB5942A05" CACHE STRING "Full archive key, 16 hex digits")
set(QUARLIX_DEMO_KEY "9786AB2948937416" CACHE STRING "Demo archive key, 16 hex digits")

# Turns 16 hex digits into a C initialiser list "0xCA, 0xDD, ..." or stops the
# configure step with a clear message.
function(quarlix_key_initialiser option_name out_var)
  set(value "${${option_name}}")
  if(NOT value MATCHES "^[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]$")
    message(FATAL_ERROR "${option_name} must be exactly 16 hex digits (8 key bytes), got '${value}'")
  endif()
  set(bytes "")
  foreach(i RANGE 0 14 2)
    string(SUBSTRING "${value}" ${i} 2 byte)
    list(APPEND bytes "0x${byte}")
  endforeach()
  list(JOIN bytes ", " joined)
  set(${out_var} "${joined}" PARENT_SCOPE)
endfunction()

quarlix_key_initialiser(QUARLIX_FULL_KEY QUARLIX_FULL_KEY_BYTES)
quarlix_key_initialiser(QUARLIX_DEMO_KEY QUARLIX_DEMO_KEY_BYTES)
