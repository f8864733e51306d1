"""BackupAndRestore: runs killed with SIGKILL resume bit for bit, backups that
cannot be used are refused saying why, and finished runs continue exactly."""
import os
import pickle
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tessavo
from tessavo.callbacks import BackupAndRestore, LambdaCallback

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
import backup_kill  # noqa: E402

EPOCHS = 30


@pytest.mark.parametrize("case", backup_kill.CASES, ids=lambda c: "-".join(map(str, c)))
def test_killed_run_resumes_bit_for_bit(case, tmp_path):
    reference_out = str(tmp_path / "reference.pickle")
    subprocess.run(backup_kill.child_command(case, None, EPOCHS, reference_out), check=True)
    reference = backup_kill.load(reference_out)
    backup_dir = str(tmp_path / "backup")
    out = str(tmp_path / "out.pickle")
    # Killed while it runs the epoch after a random one (a backup may be
    # half written then), and resumed.
    after = random.Random(str(case)).randrange(2, EPOCHS - 5)
    child = subprocess.Popen(backup_kill.child_command(case, backup_dir, EPOCHS, out, True),
                             stdout=subprocess.PIPE, text=True)
    for line in child.stdout:
        if line.strip() == f"epoch {after}":
            break
    child.kill()
    child.wait()
    child.stdout.close()
    assert not os.path.exists(out)
    assert os.path.exists(os.path.join(backup_dir, "run.tvbackup"))
    subprocess.run(backup_kill.child_command(case, backup_dir, EPOCHS, out), check=True)
    result = backup_kill.load(out)
    assert result["history"] == reference["history"]
    assert result["model"] == reference["model"]
    assert result["weights"] == reference["weights"]
    assert os.listdir(backup_dir) == []  # the backup is deleted after a normal end


def data(rows=60, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, size=(rows, 2))
    return x, x[:, :1] * x[:, 1:]


def run(folder, epochs=3, pop_size=8, x=None, keep=True, **evolve):
    tessavo.set_random_seed(4)
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    if x is None:
        x, y = data()
    else:
        y = x[:, :1]
    callbacks = [BackupAndRestore(folder, delete_checkpoint=not keep)] + evolve.pop("callbacks", [])
    history = model.evolve(x, y, epochs=epochs, pop_size=pop_size, verbose=0, callbacks=callbacks,
                           **evolve)
    return model, history


def test_finished_run_continues_exactly_and_backups_follow_save_freq(tmp_path):
    _, whole = run(str(tmp_path / "whole"), epochs=6, keep=False)
    assert not os.listdir(tmp_path / "whole")
    folder = str(tmp_path / "kept")
    _, first = run(folder, epochs=4)
    assert first["loss"] == whole["loss"][:4]
    model, rest = run(folder, epochs=6)
    assert rest == whole
    # Nothing left to run: the backup's history and network come back.
    again, done = run(folder, epochs=5)
    assert done == whole and pickle.dumps(again) == pickle.dumps(model)

    # Every second epoch; a failing callback leaves the backup of epoch 2.
    def fail(epoch, logs):
        if epoch == 2:
            raise KeyError("stop here")

    folder = str(tmp_path / "freq")
    tessavo.set_random_seed(4)
    stopped = tessavo.Model(2, 1)
    stopped.compile(loss="mse")
    with pytest.raises(KeyError):
        stopped.evolve(*data(), epochs=6, pop_size=8, verbose=0,
                       callbacks=[BackupAndRestore(folder, save_freq=2),
                                  LambdaCallback(on_epoch_end=fail)])
    with pytest.raises(ValueError, match="pop_size is 8 in the backup and 9 in this run"):
        run(folder, epochs=6, pop_size=9)
    _, resumed = run(folder, epochs=6, keep=False)
    assert resumed == whole


def corrupt(path, how):
    data_ = bytearray(Path(path).read_bytes())
    if how == "torn":
        data_[len(data_) // 2] ^= 0x01
    elif how == "truncated":
        del data_[len(data_) - 100:]
    elif how == "format":
        data_[8] = 9
    elif how == "foreign":
        data_[:8] = b"PK\x03\x04...."
    Path(path).write_bytes(bytes(data_))


@pytest.mark.parametrize("how, message", [
    ("torn", "it is damaged: its checksum does not match its content"),
    ("truncated", "it is truncated"),
    ("format", "it is in backup format 9, and this tessavo reads format 1"),
    ("foreign", "it is not a tessavo run backup"),
])
def test_unusable_backup_is_refused_and_model_unchanged(tmp_path, how, message):
    folder = str(tmp_path)
    run(folder)
    path = os.path.join(folder, "run.tvbackup")
    before = Path(path).read_bytes()
    corrupt(path, how)
    tessavo.set_random_seed(4)
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    state = pickle.dumps(model)
    with pytest.raises(ValueError, match=f"Cannot resume from the backup .*: {message}"):
        model.evolve(*data(), epochs=3, pop_size=8, verbose=0,
                     callbacks=[BackupAndRestore(folder)])
    assert pickle.dumps(model) == state
    assert Path(path).read_bytes() != before  # left as it is, for the user to look at


def test_other_arguments_and_data_are_named(tmp_path):
    folder = str(tmp_path)
    run(folder)
    with pytest.raises(ValueError, match=r"x_train is 60 x 1 x 2, sample hash \w+ in the backup "
                                         r"and 60 x 1 x 2, sample hash \w+ in this run"):
        run(folder, x=data(seed=1)[0])
    with pytest.raises(ValueError, match="batch_size is -1 in the backup and 20 in this run"):
        run(folder, batch_size=20)
    tessavo.set_random_seed(4)
    model = tessavo.Model(2, 1)
    model.compile(loss="mae", optimizer=tessavo.optimizers.Beta())
    with pytest.raises(ValueError, match="the optimizer is <tessavo.optimizers.Alpha .*> in the backup and "
                                         "<tessavo.optimizers.Beta .*> in this run; "
                                         "the loss and metrics is mse in the backup and mae"):
        model.evolve(*data(), epochs=3, pop_size=8, verbose=0,
                     callbacks=[BackupAndRestore(folder)])
    with pytest.raises(ValueError, match="the run is evolve in the backup and func_evolve"):
        model.func_evolve(lambda genomes: np.zeros(len(genomes)), pop_size=8, epochs=2, verbose=0,
                          callbacks=[BackupAndRestore(folder)])


def test_bad_arguments_and_folders(tmp_path):
    with pytest.raises(TypeError):
        BackupAndRestore(3)
    with pytest.raises(ValueError):
        BackupAndRestore(str(tmp_path), save_freq="batch")
    with pytest.raises(ValueError):
        BackupAndRestore(str(tmp_path), save_freq=0)
    with pytest.raises(TypeError):
        BackupAndRestore(str(tmp_path), delete_checkpoint=1)
    a_file = tmp_path / "file"
    a_file.write_text("")
    tessavo.set_random_seed(4)
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    state = pickle.dumps(model)
    began = []
    with pytest.raises(NotADirectoryError):
        model.evolve(*data(), epochs=2, pop_size=8, verbose=0,
                     callbacks=[BackupAndRestore(a_file),
                                LambdaCallback(on_train_begin=lambda logs: began.append(1))])
    assert began == [] and pickle.dumps(model) == state
    if os.geteuid() != 0:
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        with pytest.raises(PermissionError):
            model.evolve(*data(), epochs=2, pop_size=8, verbose=0,
                         callbacks=[BackupAndRestore(locked)])
        assert pickle.dumps(model) == state
    with pytest.raises(ValueError, match="one BackupAndRestore"):
        model.evolve(*data(), epochs=2, pop_size=8, verbose=0,
                     callbacks=[BackupAndRestore(tmp_path / "a"), BackupAndRestore(tmp_path / "b")])
    # A temporary of a writer that died is removed; one of a live process stays.
    folder = tmp_path / "stale"
    folder.mkdir()
    (folder / ".tessavo-999999999-1.tmp").write_text("")
    (folder / f".tessavo-{os.getpid()}-1.tmp").write_text("")
    run(str(folder), keep=False)
    assert os.listdir(folder) == [f".tessavo-{os.getpid()}-1.tmp"]


def test_run_with_a_seed_of_its_own_resumes_exactly(tmp_path):
    def evolve(folder, fail_at=None):
        model = tessavo.Model(2, 1, seed=3)
        model.compile(loss="mse")

        def fail(epoch, logs):
            if epoch == fail_at:
                raise KeyError("stop here")

        callbacks = [LambdaCallback(on_epoch_end=fail)]
        if folder:
            callbacks.insert(0, BackupAndRestore(folder))
        history = model.evolve(*data(), epochs=5, pop_size=8, batch_size=20, verbose=0,
                               seed=3, callbacks=callbacks)
        return history, pickle.dumps(model)

    whole = evolve(None)
    folder = str(tmp_path)
    with pytest.raises(KeyError):
        evolve(folder, fail_at=2)
    tessavo.set_random_seed(99)  # the process's streams play no part
    assert evolve(folder) == whole
    model = tessavo.Model(2, 1)
    model.compile(loss="mse")
    with pytest.raises(KeyError):
        evolve(folder, fail_at=1)
    with pytest.raises(ValueError, match="seed is 3 in the backup and None in this run"):
        model.evolve(*data(), epochs=5, pop_size=8, batch_size=20, verbose=0,
                     callbacks=[BackupAndRestore(folder)])
