"""An xarray backend: ``xarray.open_dataset(path, engine="common_dto",
sweep=N)`` opens one sweep of a ray stream file, of an InstrumentData file,
or of a radar file the C++ formats library reads (ODIM_H5, CF/Radial, ...),
in the layout of common_dto.dataset.sweep_to_dataset. Moments are decoded
when their values are first used.

``format`` chooses what the file is: "stream", "volume" (InstrumentData),
one of common_dto.formats.format_names(), or None to detect it.
"""

import os

from xarray.backends import BackendEntrypoint

__all__ = ["CommonDtoBackendEntrypoint"]


class CommonDtoBackendEntrypoint(BackendEntrypoint):
    description = "Sweeps of common-dto ray streams, InstrumentData files and radar files"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "sweep", "format")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, sweep=0, format=None):
        from .dataset import sweep_to_dataset
        from .formats import open_volume
        dataset = sweep_to_dataset(open_volume(filename_or_obj, format), sweep, lazy=True)
        if drop_variables:
            dataset = dataset.drop_vars(drop_variables, errors="ignore")
        return dataset

    def guess_can_open(self, filename_or_obj):
        """Ray streams and InstrumentData files, by their usual extensions."""
        try:
            extension = os.path.splitext(os.fspath(filename_or_obj))[1]
        except TypeError:
            return False
        return extension in (".pb", ".bin", ".rsm", ".stream")
