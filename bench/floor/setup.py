from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension("quillane_bench_floor", ["floor.c"], extra_compile_args=["-O2", "-std=c11"]),
    ],
)
