# Graph surgery on the director: source-cone hoist, warp block to one node, lip contour
# binding, on PyTorch-exported directors and their edited broken variants
# (tools/fixtures/make_graph_fixtures.sh).
ka_add_fixture(graph_directors COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fixtures/make_graph_fixtures.sh
  ${KA_FIXTURE_DIR}/graph)
ka_add_test(test_graph_surgery SOURCES test_graph_surgery.cpp FIXTURES graph_directors LABELS asan TIMEOUT 120)
ka_add_test(test_renderer_graph SOURCES test_renderer_graph.cpp FIXTURES graph_directors LABELS tsan TIMEOUT 120)
