#!/usr/bin/env bash
# Fetches real scans from Debian packages into samples/ (git ignores it), in their own formats:
#   inia19-t1-brain.nii.gz   macaque T1 MRI template, float32, 0.5 mm isotropic   (mricron-data)
#   ch2.nii.gz               human T1 MRI template "colin27", uint8, 1 mm          (mricron-data)
#   KmeansTest_T1UCharRaw.nii.gz  T1 MRI, int16, 2 x 2 x 3 mm                       (insighttoolkit5-examples)
#   BrainProtonDensity3Slices.mha + .raw  three PD MRI slices, MetaImage             (insighttoolkit5-examples)
#   ch2.nhdr, ch2.mhd        detached NRRD and MetaImage headers over ch2.nii (the NIfTI unpacked)
#   ct-series/               a DICOM CT series: the real CT slice CT_small.dcm of pydicom's test data
#                            (python3-pydicom) as the header, its pixels replaced slice by slice by
#                            ch2's every second slice mapped to CT numbers (-1000 .. 1040 HU), so
#                            1 x 1 mm pixels 2 mm apart; file names and instance numbers shuffled,
#                            plus a 3-slice second series in the same folder
# Debian has no whole CT series in a package; CT_small.dcm is one real CT slice.
# Needs `apt-get update` once; downloads with apt-get download, unpacks with dpkg -x (nothing is
# installed).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/samples"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

cd "$work"
apt-get download mricron-data insighttoolkit5-examples python3-pydicom >/dev/null 2>&1 ||
    { apt-get update -qq && apt-get download mricron-data insighttoolkit5-examples python3-pydicom >/dev/null; }
for deb in *.deb; do dpkg -x "$deb" x; done

templates=x/usr/share/mricron/templates
itk=x/usr/share/doc/insighttoolkit5-examples/examples/Data
cp "$templates/inia19-t1-brain.nii.gz" "$templates/ch2.nii.gz" "$itk/KmeansTest_T1UCharRaw.nii.gz" \
    "$itk/BrainProtonDensity3Slices.mha" "$itk/BrainProtonDensity3Slices.raw" "$out/"
gzip -dc "$templates/ch2.nii.gz" >"$out/ch2.nii"

PYTHONPATH="$work/x/usr/lib/python3/dist-packages" python3 - "$out" \
    "x/usr/lib/python3/dist-packages/pydicom/data/test_files/CT_small.dcm" <<'PY'
import os, random, struct, sys
import pydicom
from pydicom.uid import generate_uid

out, template = sys.argv[1], sys.argv[2]
nii = open(os.path.join(out, "ch2.nii"), "rb").read()
dims = struct.unpack("<8h", nii[40:56])
nx, ny, nz = dims[1:4]
spacing = struct.unpack("<8f", nii[76:108])[1:4]
skip = int(struct.unpack("<f", nii[108:112])[0])
sizes = " ".join(map(str, (nx, ny, nz)))
spaces = " ".join("%g" % s for s in spacing)
# Detached headers over the unpacked NIfTI's samples (uint8 after a 352-byte header).
with open(os.path.join(out, "ch2.nhdr"), "w") as f:
    f.write("NRRD0004\ntype: uint8\ndimension: 3\nsizes: %s\nspacings: %s\nencoding: raw\n"
            "byte skip: %d\ndata file: ch2.nii\n" % (sizes, spaces, skip))
with open(os.path.join(out, "ch2.mhd"), "w") as f:
    f.write("NDims = 3\nDimSize = %s\nElementType = MET_UCHAR\nElementSpacing = %s\n"
            "HeaderSize = %d\nElementDataFile = ch2.nii\n" % (sizes, spaces, skip))

folder = os.path.join(out, "ct-series")
os.makedirs(folder, exist_ok=True)
for old in os.listdir(folder):
    os.remove(os.path.join(folder, old))
random.seed(12)

def write_series(slices, description, number):
    series = generate_uid()
    names = random.sample(range(10000, 99999), len(slices))
    instances = list(range(1, len(slices) + 1))
    random.shuffle(instances)
    for k, z in enumerate(slices):
        ds = pydicom.dcmread(template)
        ds.SeriesInstanceUID = series
        ds.SeriesDescription = description
        ds.SeriesNumber = number
        ds.SOPInstanceUID = generate_uid()
        ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
        ds.InstanceNumber = instances[k]
        ds.Rows, ds.Columns = ny, nx
        ds.PixelSpacing = [spacing[1], spacing[0]]
        ds.SliceThickness = 2 * spacing[2]
        ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
        ds.ImagePositionPatient = [0, 0, z * spacing[2]]
        ds.RescaleSlope, ds.RescaleIntercept = 1, -1024
        start = skip + z * nx * ny
        # Stored value = HU + 1024 with HU = 8 * v - 1000.
        ds.PixelData = b"".join(struct.pack("<h", 8 * v + 24) for v in nii[start:start + nx * ny])
        ds.save_as(os.path.join(folder, "IM%d" % names[k]))

write_series(list(range(0, nz, 2)), "CT-style head from colin27, 2 mm", 2)
write_series([60, 90, 120], "scout", 1)
PY
echo "samples.sh: scans in $out:"
ls -l "$out" | tail -n +2
