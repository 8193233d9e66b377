"""delete refuses the home directory and every directory above it, by any spelling, as it refuses
the working directory; entries below home are removed as usual; removal never follows a link."""

import os

import pytest

from talmek.workers import scrivel


@pytest.fixture
def home(tmp_path, monkeypatch):
    home = tmp_path / "users" / "ada"
    (home / "docs").mkdir(parents=True)
    (home / "docs" / "cv.txt").write_text("cv")
    (home / "notes.txt").write_text("n")
    os.symlink(home, tmp_path / "home-link")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.chdir(home / "docs")
    return home


REFUSED = "Refusing to delete the home directory or a directory above it: "


@pytest.mark.parametrize(
    "spelling",
    [
        "~",
        "~/",
        "~/.",
        "~/docs/..",
        "{home}",
        "{home}/",
        "{tmp}/home-link/docs/..",
        "..",
        "~/..",
        "{tmp}/users",
        "{tmp}",
    ],
)
def test_home_and_above_are_refused(home, tmp_path, spelling, monkeypatch):
    monkeypatch.chdir(tmp_path.parent)  # so that the working directory's own rule is not the one
    path = spelling.format(home=home, tmp=tmp_path)
    got = scrivel.delete_file(path)
    assert got["success"] is False
    assert got["error"] in (
        REFUSED + path,
        "Refusing to delete the working directory or a directory above it: " + path,
    )
    assert (home / "docs" / "cv.txt").read_text() == "cv"


def test_the_home_rule_does_not_hide_the_working_directory_rule(home):
    got = scrivel.delete_file("~/docs")
    assert got == {
        "success": False,
        "error": "Refusing to delete the working directory or a directory above it: ~/docs",
    }


@pytest.mark.parametrize("inside", ["~/notes.txt", "~/docs/cv.txt"])
def test_entries_below_home_are_deleted(home, inside, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    got = scrivel.delete_file(inside)
    assert got == {
        "success": True,
        "result": {"deleted": os.path.realpath(os.path.expanduser(inside))},
    }
    assert not os.path.exists(os.path.expanduser(inside))


def test_a_tree_below_home_is_deleted_and_links_in_it_are_not_followed(home, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep.txt").write_text("k")
    os.symlink(outside, home / "docs" / "to-outside")
    assert scrivel.delete_file("~/docs")["success"] is True
    assert not (home / "docs").exists() and (outside / "keep.txt").read_text() == "k"


def test_a_link_to_home_is_removed_as_a_link(home, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    got = scrivel.delete_file(str(tmp_path / "home-link"))
    assert got == {"success": True, "result": {"deleted": str(tmp_path / "home-link")}}
    assert (home / "notes.txt").exists()
