# Code signing of the product's own executables.
#
# With VX_SIGNING_KEY and VX_SIGNING_CERT set, vx_sign_executable(target) signs
# the target with vxsign each time it is linked, carrying VX_SIGNING_CHAIN in the
# signature. ./dev.sh sets all three to a development root it makes once per
# build folder and trusts that root through VX_TRUSTED_TEST_ROOT_SHA1; a packager
# sets them to the release certificate. Without them executables stay unsigned.
set(VX_SIGNING_KEY "" CACHE FILEPATH "Private key (PEM) that signs the product's executables")
set(VX_SIGNING_CERT "" CACHE FILEPATH "Signing certificate (PEM) matching VX_SIGNING_KEY")
set(VX_SIGNING_CHAIN "" CACHE FILEPATH "Certificates (PEM) carried in each signature, up to the root")

if(VX_SIGNING_KEY AND NOT VX_SIGNING_CERT)
  message(FATAL_ERROR "VX_SIGNING_KEY needs VX_SIGNING_CERT")
endif()

function(vx_sign_executable target)
  if(NOT VX_SIGNING_KEY)
    return()
  endif()
  set(chain)
  if(VX_SIGNING_CHAIN)
    set(chain --chain ${VX_SIGNING_CHAIN})
  endif()
  add_dependencies(${target} vxsign)
  set_property(GLOBAL APPEND PROPERTY VX_SIGNED_TARGETS ${target})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:vxsign> --key ${VX_SIGNING_KEY} --cert ${VX_SIGNING_CERT} ${chain}
            --in $<TARGET_FILE:${target}>
    COMMENT "Signing ${target}"
    VERBATIM)
endfunction()
