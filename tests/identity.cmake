set(_mk ${KA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tools/fixtures/make_identity_bundle.py)
ka_add_fixture(identity_bundles COMMAND bash -c
  "${_mk} ${KA_FIXTURE_DIR}/identity/full --prior both --fs-red --driver both && \
   ${_mk} ${KA_FIXTURE_DIR}/identity/small --nt 4 --crop 32 --frames 6 --width 96 --height 64 && \
   ${_mk} ${KA_FIXTURE_DIR}/identity/canonical --nt 6 --crop 32 --frames 6 --width 96 --height 64 --canonical --prior hevc")
ka_add_test(test_identity SOURCES test_identity.cpp FIXTURES identity_bundles)
