"""newstars from Python: find stars, read world-coordinate frames and search for new
point sources on numpy arrays and astropy headers, through the same libraries as the
``newstars`` command line (no subprocess, no temporary file).

Pixel positions follow the command line's convention: ``x`` is the column and ``y`` the
row of a 2-D array ``data[y, x]``, both counted from 0 at the centre of the first pixel.
For headers read in the FITS standard (CD or PC matrices, SIP, ...) that is the
standard pixel coordinate minus 1, i.e. astropy's ``origin=0``. Sky positions are ICRS
(J2000) right ascension and declination in degrees.
"""

import os
import pathlib

import numpy as np

from . import _core
from ._core import Error

__all__ = ["Difference", "Error", "Frame", "Night", "difference", "find_stars", "read_frame",
           "reads_in_place", "search", "search_night", "vet"]

STAR_NEAR_NO_DATA = 1
"""Bit of ``flags``: a pixel within 4 pixels of the star's brightest pixel has no data."""

STAR_DTYPE = np.dtype([("x", "f8"), ("y", "f8"), ("peak", "f8"), ("flags", "u1")])


def find_stars(data, mask=None, saturation=None, no_data=None):
    """Find the stars of a 2-D image, as the command line finds them in an image file.

    data
        2-D array ``data[row, column]`` of any integer, float32, float64 or bool dtype,
        either byte order, C or Fortran order or any strides. It is read where it lies:
        no copy is made (see :func:`reads_in_place` for the one exception). The interpreter
        lock is released while the stars are searched, so threads may search several
        images at once.

        16-bit arrays are searched as 16-bit FITS images: ``uint16`` values (what astropy
        gives for ``BITPIX = 16`` with ``BZERO = 32768``) as they are, ``int16`` values
        (file values without their offset) plus 32768; 65535 is saturated. Every other
        dtype is searched on its values in whatever unit they come (physical values,
        as the command line searches ``BITPIX`` 8, 32, -32 and -64 images); NaN and
        infinite values, and values beyond the range of float32, hold no data.
    mask
        Optional array of the same shape, any dtype: pixels whose element is not zero
        (``True``) hold no data. They never start or join a star; a star with such a
        pixel within 4 pixels of its brightest pixel has ``STAR_NEAR_NO_DATA`` set.
    saturation
        Value (in the data's unit) from which a star's brightest pixel counts as
        saturated and the star is not reported: the image's ``SATURATE`` card, as the
        command line takes it. Default: none for float data, 65535 for 16-bit data.
    no_data
        Value (data units) that marks pixels without data, as the command line's
        ``--no-data V``: elements equal to it once rounded to float32 hold no data. Like
        ``--no-data`` it leaves 16-bit arrays alone (give those a ``mask``). The values
        and mask are then made once, as the finder would copy them anyway.

    Returns a structured array, one element per star in the order found, with fields
    ``x``, ``y`` (sub-pixel column and row, pixels, 0 at the first pixel's centre),
    ``peak`` (value of the brightest pixel, data units) and ``flags`` (``STAR_`` bits).

    Raises ``TypeError`` for complex or non-numeric data, ``ValueError`` for arrays that
    are not 2-D, a mask of another shape or a ``no_data`` that float32 does not hold,
    ``MemoryError`` when memory runs out.
    """
    x, y, peak, flags = _core.find_stars(data, mask, _float_or_none(saturation, "saturation"),
                                         _float_or_none(no_data, "no_data"))
    stars = np.empty(len(x), dtype=STAR_DTYPE)
    stars["x"] = x
    stars["y"] = y
    stars["peak"] = peak
    stars["flags"] = flags
    return stars


def _float_or_none(value, what):
    if value is None:
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{what}: a number, not {value!r}") from None


def reads_in_place(data):
    """Whether :func:`find_stars` reads ``data`` where it lies (True) or through a copy.

    Every 2-D numeric array is read in place, whatever its dtype, byte order or strides,
    except 16-bit arrays that are not ``uint16`` in this machine's byte order and C order:
    the 16-bit finder reads contiguous rows of unsigned pixels, so those are copied once.
    """
    return _core.reads_in_place(data)


def _card_text(header):
    if hasattr(header, "tostring"):
        return header.tostring(sep="", endcard=True, padding=False)
    if isinstance(header, bytes):
        return header.decode("ascii")
    if isinstance(header, str):
        return header
    raise TypeError("header: an astropy.io.fits.Header or the text of its 80-character cards")


class Frame:
    """The world-coordinate frame of one image, read once from its header as the command
    line reads it. Conversions take and return arrays of any shape (broadcast against
    each other); positions that do not convert come back as NaN."""

    def __init__(self, core):
        self._core = core

    @property
    def standard(self):
        """True when the header is read in the FITS world-coordinate standard (through
        WCSLIB: CD or PC matrices, SIP, TPV, ...), False for the classic cards."""
        return self._core.standard

    @property
    def cards_set_aside(self):
        """The world-coordinate cards the reading set aside and what it used in their
        place (as the command line notes them on standard error); "" for a header read
        whole."""
        return self._core.cards_set_aside

    def pixel_to_sky(self, x, y):
        """ICRS right ascension and declination (degrees) of pixel positions ``x``
        (column) and ``y`` (row), counted from 0 at the first pixel's centre. The right
        ascension lies within half a turn of the reference point's."""
        x, y = np.broadcast_arrays(np.asarray(x, dtype=float), np.asarray(y, dtype=float))
        ra, dec = self._core.pixel_to_sky(x.ravel(), y.ravel())
        return ra.reshape(x.shape), dec.reshape(x.shape)

    def sky_to_pixel(self, ra, dec):
        """Pixel positions ``(x, y)`` (0 at the first pixel's centre) of ICRS right
        ascensions and declinations in degrees."""
        ra, dec = np.broadcast_arrays(np.asarray(ra, dtype=float), np.asarray(dec, dtype=float))
        x, y = self._core.sky_to_pixel(ra.ravel(), dec.ravel())
        return x.reshape(ra.shape), y.reshape(ra.shape)


def read_frame(header, wcs="auto"):
    """Read the world-coordinate frame of a header.

    header
        An ``astropy.io.fits.Header``, or the text of its cards (80 characters each; an
        END card ends it).
    wcs
        ``"auto"`` (the command line's default), ``"classic"`` or ``"fits"``, as the
        command line's ``--wcs``. Classic headers count pixels as their ``CRPIX`` is
        written, the first pixel's centre being 0; standard ones through WCSLIB, the
        first pixel's centre being 1 in the header and 0 here (astropy's ``origin=0``).

    Equatorial systems other than ICRS are converted to ICRS as the command line does
    (FK4 B1950, FK5 of other equinoxes). Raises ``newstars.Error`` with the library's
    reason when the header has no usable world coordinates.
    """
    return Frame(_core.read_frame(_card_text(header), wcs))


class Night:
    """What :func:`search_night` gives.

    report
        The report, the bytes the command line writes on standard output, as text
        (``report.encode("utf-8", "surrogateescape")`` gives the bytes back).
    catalog
        The catalogue of every candidate (detection, with ``method="difference"``) as an
        ``astropy.table.Table``, the columns, units and header ``meta`` of ``--catalog``.
    catalog_text
        The same catalogue as the ECSV text ``--catalog`` writes.
    messages
        What the command line writes on standard error.
    status
        The command line's exit status: 0, or 3 with ``strict=True`` when some test image
        could not be searched.
    """

    def __init__(self, status, report, messages, catalog_text):
        from astropy.table import Table

        self.status = status
        self.report = report
        self.messages = messages
        self.catalog_text = catalog_text
        self.catalog = Table.read(catalog_text.splitlines(), format="ascii.ecsv")

    def __repr__(self):
        return (f"<newstars.Night status {self.status}: {self.report.count(chr(10))} report "
                f"lines, {len(self.catalog)} catalogue rows>")


def _decompressor():
    """The fdecomp program of this build or installation (beside the newstars program),
    or "" to look for it as the command line does."""
    here = pathlib.Path(__file__).resolve().parent
    for candidate in [here.parents[1] / "bin" / "fdecomp",   # build tree: python/newstars
                      here.parents[3] / "bin" / "fdecomp"]:  # lib/python3/dist-packages/newstars
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return ""


def _option_words(options):
    words = []
    for key, value in options.items():
        if value is None or value is False:
            continue
        if key == "jobs":
            words += ["-j", str(int(value))]
            continue
        name = "--" + key.replace("_", "-")
        words.append(name if value is True else f"{name}={os.fspath(value)}")
    return words


def search_night(table, images, tolerance=2, **options):
    """Search a night exactly as ``newstars [options] tolerance table image ...`` does,
    in this process (the interpreter lock released while it runs).

    table
        Path of the reference table (see the README's "Reference table").
    images
        Paths of the test images, in the order of the report (relative paths are taken
        from the current directory, as the command line takes them).
    tolerance
        Match tolerance, arcseconds (``arcsec_sep``).
    options
        The command line's options by name, ``_`` for ``-``: ``wcs="fits"``,
        ``jobs=4`` (``-j``), ``method="difference"``, ``threshold=5``, ``part="1/4"``,
        ``match="position"``, ``no_data=0``, ``vet=True``, ``strict=True``, ``catalog``,
        ``regions`` and ``stamps`` (files and directory written as the command line
        writes them), and the vetting thresholds. ``True`` gives a flag, ``False`` or
        ``None`` leaves the option out.

    Returns a :class:`Night`. Compressed 16-bit images are decompressed by the build's
    ``fdecomp`` program, as the command line does. Raises ``newstars.Error`` with the
    command line's messages when the run ends with status 1 (bad options, a table that
    cannot be read, ...).
    """
    arguments = ["newstars", *_option_words(options), "--", str(tolerance),
                 os.fspath(table), *(os.fspath(image) for image in images)]
    status, report, messages, catalog = _core.run_night(arguments, _decompressor())
    messages = messages.decode("utf-8", "surrogateescape")
    if status == 1:
        raise Error(messages.strip() or "the search failed")
    return Night(status, report.decode("utf-8", "surrogateescape"), messages,
                 catalog.decode("utf-8", "surrogateescape"))


MASK_NO_DATA = 1
"""Bit of ``Difference.mask``: no data in the test image or the resampled reference."""
MASK_SATURATED = 2
"""Bit of ``Difference.mask``: saturated in either image, or close to such a pixel."""
MASK_EDGE = 4
"""Bit of ``Difference.mask``: the convolution kernel reaches a pixel without data."""
MASK_COSMIC = 8
"""Bit of ``Difference.mask``: a cosmic-ray hit or hot pixel of the test image."""


class Difference:
    """What :func:`difference` gives; images are on the test image's pixel grid.

    difference
        Test image minus the matched reference, test image units (float32).
    noise
        Standard deviation of each difference pixel, test image units.
    matched_reference
        The reference registered, resampled and matched in point spread, test image units.
    mask
        ``MASK_`` bits per pixel (0: usable).
    detections
        ``astropy.table.Table``: every detection inside the search box, kept or rejected,
        with the columns and units of the difference method's ``--catalog`` (``score``, the
        real-bogus score from 0 to 1, among them; those below the default ``--min-score``
        are rejected with reason ``score``).
    registration
        Dict of the registration and kernel summary (the catalogue's ``images`` entry:
        ``refined``, ``stars``, ``clipped``, ``rms_pix``, ``rms_arcsec``,
        ``test_fwhm_pix``, ``ref_fwhm_pix``, ``convolved``, ``kernel_stamps``,
        ``kernel_rejected``, ``kernel_chi2``, ``flux_scale``, ``noise_scale``,
        ``detections``, ``kept``).
    summary
        The report's summary line of the pair; ``messages``: what the command line would
        write on standard error for it.
    """

    def __init__(self, parts):
        from astropy.table import Table

        self.difference = parts["difference"]
        self.noise = parts["noise"]
        self.matched_reference = parts["matched_reference"]
        self.mask = parts["mask"]
        self.catalog_text = parts["catalog"].decode("utf-8", "surrogateescape")
        self.detections = Table.read(self.catalog_text.splitlines(), format="ascii.ecsv")
        images = self.detections.meta.get("images") or [{}]
        self.registration = dict(images[0])
        self.summary = parts["summary"].decode("utf-8", "surrogateescape")
        self.messages = parts["messages"].decode("utf-8", "surrogateescape")


def difference(reference, test, ref_header, test_header, tolerance=2, threshold=5,
               wcs="fits", reference_mask=None, test_mask=None, reference_name="reference",
               test_name="test", no_data=None):
    """Difference imaging of one pair, as ``newstars pair --method difference`` compares a
    test image with its reference (see the README's "Difference imaging").

{PAIR_ARGUMENTS}    threshold
        Signal-to-noise a detection needs (``--threshold``).

    Returns a :class:`Difference`. Raises ``newstars.Error`` with the command line's reason
    when the pair cannot be compared (no sky in common, too few stars, ...).
    """
    parts = _core.difference(
        reference, reference_mask, _card_text(ref_header), test, test_mask,
        _card_text(test_header), os.fspath(reference_name), os.fspath(test_name),
        _float_or_none(tolerance, "tolerance"), _float_or_none(threshold, "threshold"), wcs,
        _float_or_none(no_data, "no_data"))
    return Difference(parts)


_PAIR_ARGUMENTS = """    reference, test
        2-D arrays ``[row, column]`` of any integer, float32, float64 or bool dtype, either
        byte order, C or Fortran order, each with its header (``astropy.io.fits.Header`` or
        card text) carrying world coordinates (and ``GAIN``, ``SATURATE`` when known). Each
        is read once where it lies into the image record the libraries work on (no other
        copy): 16-bit arrays (``uint16``, ``int16`` + 32768) without a mask as 16-bit
        images, every other array as physical values in its own unit, NaN, infinity and
        values beyond float32 holding no data. The interpreter lock is released meanwhile.
    tolerance
        Match tolerance, arcseconds (``--tolerance``): the search box (the sky both images
        cover) is shrunk by it, as in the pair run.
    wcs
        ``"fits"`` (the pair run's default), ``"auto"`` or ``"classic"`` (``--wcs``).
    reference_mask, test_mask
        Optional arrays of the image's shape, any dtype: elements other than zero hold no
        data.
    reference_name, test_name
        Names shown in the ``image`` and ``reference`` columns (their base names) and the
        messages; the object is the test header's ``OBJECT``, else the test name.
    no_data
        Value (data units) of pixels without data, as ``--no-data V`` (16-bit arrays
        without a mask are left alone, as ``--no-data`` leaves 16-bit files).
"""

_VET_ARGUMENTS = """    sharp, elongation, reference_snr, brightening, saturation_fwhm
        The vetting thresholds of ``--sharp``, ``--elongation``, ``--reference-snr``,
        ``--brightening`` and ``--saturation-fwhm`` (spreads, signal-to-noise, a flux
        factor, stars' FWHM; see the README's "Vetting"), each a number above 0.
"""

difference.__doc__ = difference.__doc__.replace("{PAIR_ARGUMENTS}", _PAIR_ARGUMENTS)


def _catalog_table(text):
    from astropy.table import Table

    return Table.read(text.splitlines(), format="ascii.ecsv")


def _compare(reference, test, ref_header, test_header, tolerance, wcs, reference_mask,
             test_mask, reference_name, test_name, no_data, thresholds, x, y):
    return _core.compare(
        reference, reference_mask, _card_text(ref_header), test, test_mask,
        _card_text(test_header), os.fspath(reference_name), os.fspath(test_name),
        _float_or_none(tolerance, "tolerance"), wcs, _float_or_none(no_data, "no_data"),
        thresholds, x, y)


def search(reference, test, ref_header, test_header, tolerance=2, wcs="fits",
           reference_mask=None, test_mask=None, reference_name="reference", test_name="test",
           no_data=None, **thresholds):
    """The catalogue comparison of one pair, as ``newstars pair --catalog FILE`` compares a
    test image with its reference: the stars of both images placed on the sky, matched
    within the tolerance inside the sky both cover, and every test star without a
    reference star vetted.

{PAIR_ARGUMENTS}{VET_ARGUMENTS}
    Returns the catalogue of every candidate, kept or rejected, as an
    ``astropy.table.Table``: the columns, units and ``meta`` of ``--catalog`` (``x``, ``y``
    and ``ref_x``, ``ref_y`` in pixels from 0 at the first pixel's centre, ``ra``, ``dec``
    in degrees ICRS, fluxes in the image's unit, ...), the rows in the report's order.
    ``verdict`` is ``"kept"`` for the candidates ``--vet`` keeps. The table's ``summary``
    attribute holds the report's summary line, ``report_lines`` the report's candidate
    lines (all of them, as without ``--vet``) and ``messages`` what the command line writes
    on standard error for the pair.

    Raises ``newstars.Error`` with the command line's reason when the pair cannot be
    compared (no world coordinates, no sky in common, ...), ``ValueError`` or
    ``TypeError`` for arguments the command line would refuse.
    """
    parts = _compare(reference, test, ref_header, test_header, tolerance, wcs, reference_mask,
                     test_mask, reference_name, test_name, no_data, thresholds, None, None)
    table = _catalog_table(parts["catalog"].decode("utf-8", "surrogateescape"))
    table.summary = parts["summary"].decode("utf-8", "surrogateescape")
    table.report_lines = [line.decode("utf-8", "surrogateescape")
                          for line in parts["candidates"]]
    table.messages = parts["messages"].decode("utf-8", "surrogateescape")
    return table


def vet(reference, test, ref_header, test_header, x, y, tolerance=2, wcs="fits",
        reference_mask=None, test_mask=None, reference_name="reference", test_name="test",
        no_data=None, **thresholds):
    """Vet candidates at given positions of the test image, as ``--vet`` vets the
    candidates of a comparison: each is measured in the test image and at the same sky
    position in the reference (shape, aperture fluxes, nearest reference star), and judged
    against the image's own stars, those that the catalogue comparison of the pair
    (:func:`search`) matches with a reference star.

    x, y
        Test image pixel positions of the candidates (column and row, 0 at the first
        pixel's centre), 1-D sequences of the same length; from any detection, e.g. the
        ``x`` and ``y`` columns of a catalogue. A position that is exactly a star the
        finder flagged ``STAR_NEAR_NO_DATA`` is rejected as ``no-data`` as in the search.
{PAIR_ARGUMENTS}{VET_ARGUMENTS}
    Returns an ``astropy.table.Table`` with the columns and units of ``--catalog``, one row
    per position in the given order, numbered from 1; the positions of the candidates of
    :func:`search` give back its rows. ``verdict`` and ``reasons`` say what ``--vet`` does
    with each. Raises as :func:`search` does.
    """
    parts = _compare(reference, test, ref_header, test_header, tolerance, wcs, reference_mask,
                     test_mask, reference_name, test_name, no_data, thresholds,
                     _positions(x, "x"), _positions(y, "y"))
    table = _catalog_table(parts["catalog"].decode("utf-8", "surrogateescape"))
    table.messages = parts["messages"].decode("utf-8", "surrogateescape")
    return table


def _positions(values, what):
    values = np.asarray(values, dtype=float)
    if values.ndim != 1:
        raise ValueError(f"{what}: a 1-D sequence of pixel positions is needed")
    return values


for _function in (search, vet):
    _function.__doc__ = (_function.__doc__.replace("{PAIR_ARGUMENTS}", _PAIR_ARGUMENTS)
                         .replace("{VET_ARGUMENTS}", _VET_ARGUMENTS))
