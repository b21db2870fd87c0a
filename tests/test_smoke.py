import quorvel._native as native


def test_module_imports_with_its_three_classes():
    assert {"NativeBuffer", "NativeModelTypes", "NativePlan"} <= set(dir(native))
