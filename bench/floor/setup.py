from setuptools import Extension, setup

setup(
    ext_modules=[
        Extension("quillane_bench_floor", ["floor.c"], extra_compile_args=["-O3", "-std=c11"]),
    ],
)
