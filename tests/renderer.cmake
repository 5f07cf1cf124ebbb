# The renderer on small PyTorch-exported directors installed in synthetic identity
# bundles (tools/fixtures/make_director_fixtures.sh).
ka_add_fixture(directors COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_director_fixtures.sh
  ${KA_FIXTURE_DIR}/directors)
ka_add_test(test_renderer SOURCES test_renderer.cpp FIXTURES directors LABELS asan TIMEOUT 300)
ka_add_test(test_renderer_alloc SOURCES test_renderer_alloc.cpp support/count_new.cpp FIXTURES directors TIMEOUT 120)
